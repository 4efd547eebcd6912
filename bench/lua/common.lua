-- Shared by the wrk scripts of bench/run.sh: per-thread counters, and one
-- machine-readable line at the end that bench/run.sh collects.
local common = {}

local threads = {}

function common.setup(thread)
   thread:set("tid", #threads + 1)
   table.insert(threads, thread)
end

function common.read_file(path)
   local file = assert(io.open(path, "rb"))
   local data = file:read("*a")
   file:close()
   return data
end

-- Counters kept in each thread's own state; done() reads them with thread:get.
bad_status = 0
envelope_errors = 0
unexpected = 0
first_error = ""

-- An answer that must be 200 with an envelope whose error flag is clear and that holds
-- `must` (if given).
function common.check(status, body, must)
   if status ~= 200 then
      bad_status = bad_status + 1
   elseif not body:find('"error":"0"', 1, true) then
      envelope_errors = envelope_errors + 1
      if first_error == "" then first_error = body:sub(1, 300) end
   elseif must and not body:find(must, 1, true) then
      unexpected = unexpected + 1
      if first_error == "" then first_error = body:sub(1, 300) end
   end
end

local function json_string(text)
   return '"' .. tostring(text):gsub('[%c"\\]', function(c)
      return string.format("\\u%04x", c:byte())
   end) .. '"'
end

function common.done(summary, latency, requests)
   local bad, env, unexp, first = 0, 0, 0, ""
   for _, thread in ipairs(threads) do
      bad = bad + (thread:get("bad_status") or 0)
      env = env + (thread:get("envelope_errors") or 0)
      unexp = unexp + (thread:get("unexpected") or 0)
      local f = thread:get("first_error") or ""
      if first == "" then first = f end
   end
   local e = summary.errors
   io.write(string.format(
      'BENCHJSON {"requests":%d,"duration_us":%d,"p50_us":%d,"p99_us":%d,' ..
      '"connect":%d,"read":%d,"write":%d,"status":%d,"timeout":%d,' ..
      '"bad_status":%d,"envelope_errors":%d,"unexpected":%d,"first_error":%s}\n',
      summary.requests, summary.duration, latency:percentile(50), latency:percentile(99),
      e.connect, e.read, e.write, e.status, e.timeout, bad, env, unexp, json_string(first)))
end

return common
