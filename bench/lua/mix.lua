-- Mixed traffic of the load run (bench/load.sh): sign-ins, procedure calls with a key and
-- with credentials, time-card writes, uploads under names never used twice, and a few
-- malformed requests. Every answer is classified by its content (wrk does not say which
-- request an answer belongs to); done() prints the counts as one JSON line.
-- Each request carries its kind in its RID (in the body, and in the query string for the
-- exception answer), so that every answer, error or not, is counted against its kind.
-- In the last LAST_SECONDS of the run only the side-effect-free test page is asked for,
-- so that requests still in flight when wrk stops write nothing that goes uncounted.
--   wrk ... -s mix.lua BASE_URL -- JPEG_FILE END_EPOCH_SECONDS [LAST_SECONDS]
package.path = debug.getinfo(1, "S").source:match("^@(.*/)") .. "?.lua;" .. package.path
local common = require("common")

local threads = {}
function setup(thread)
   thread:set("tid", #threads + 1)
   table.insert(threads, thread)
end

local function encode(json)
   json = json:gsub('"', "`")
   return (json:gsub("[^%w%-_%.~]", function(c) return string.format("%%%02X", c:byte()) end))
end

local form = { ["Content-Type"] = "application/x-www-form-urlencoded" }
local boundary = "----tallyhandload91c2"
local multipart = { ["Content-Type"] = "multipart/form-data; boundary=" .. boundary }
local jobs = { "JOB 1", "JOB 2", "AB", "X1", "Paving" }
local login_body, list_credentials_body, upload_body
local key
local counter = 0
local quiet_from

-- Counters read by done(); sent_* count requests, ok_* successful answers.
sent = {}
ok = {}
expected_errors = 0
errors = {}      -- class -> count
failed = {}      -- kind -> error answers
error_first = {} -- class -> os.time() of the first
error_last = {}  -- class -> os.time() of the last
answers_at = {}  -- os.time() -> answers received in that second (error answers among them)
errors_at = {}   -- os.time() -> error answers received in that second

local function bump(t, name) t[name] = (t[name] or 0) + 1 end

function init(args)
   local jpeg = common.read_file(args[1])
   quiet_from = tonumber(args[2]) - tonumber(args[3] or 3)
   upload_body = "--" .. boundary .. "\r\n" ..
      'Content-Disposition: form-data; name="file"; filename="part.jpg"\r\n' ..
      "Content-Type: image/jpeg\r\n\r\n" .. jpeg .. "\r\n--" .. boundary .. "--\r\n"
   login_body = encode('{"RID":"signin","AuthUser":"kwhite","AuthPass":"pw","AuthComp":"Northwind Paving","ReqMethod":"checkLogin"}')
   list_credentials_body = encode('{"RID":"call_credentials","AuthUser":"kwhite","AuthPass":"pw","AuthComp":"Northwind Paving",' ..
      '"ReqMethod":"EXECUTE PROCEDURE nvm_Job_List(_userID_);"}')
end

local function post(kind, body)
   return wrk.format("POST", "/tcclientRequest.app?RID=" .. kind, form, body)
end

-- The request member naming the kind, spliced in front of the JSON text's other members.
local function rid(kind) return '{"RID":"' .. kind .. '",' end

function request()
   counter = counter + 1
   local slot = counter % 100
   if os.time() >= quiet_from then
      bump(sent, "test_page")
      return wrk.format("GET", "/test.app")
   elseif key == nil or slot < 2 then
      bump(sent, "signin")
      return post("signin", login_body)
   elseif slot < 4 then
      bump(sent, "call_credentials")
      return post("call_credentials", list_credentials_body)
   elseif slot == 4 then
      bump(sent, "malformed")
      return post("malformed", "this%20is%20not%20json")
   elseif slot == 5 then
      bump(sent, "malformed")
      return post("malformed", "%G1%7B")
   elseif slot < 60 then
      bump(sent, "call_key")
      return post("call_key", encode(rid("call_key") .. '"key":"' .. key ..
         [[","ReqMethod":"EXECUTE PROCEDURE nvm_DailyReportRecord_List('45','',0);"}]]))
   elseif slot < 92 then
      bump(sent, "timecard")
      -- 40 days x 5 jobs: the first write for a job and day creates its daily report.
      local day = (counter * 7 + tid) % 40
      local date = string.format("01/%02d/2021", 1 + day % 28)
      if day >= 28 then date = string.format("02/%02d/2021", 1 + day - 28) end
      local job = jobs[1 + math.floor(counter / 100) % #jobs]
      return post("timecard", encode(rid("timecard") .. '"key":"' .. key ..
         '","ReqMethod":"EXECUTE PROCEDURE nvm_az_DailyReportTimeCardRecord_Write(_userID_,0,999999,\'' ..
         date .. "','7','08:00','16:00',8,'CC','EQ','load','" .. job .. "','open');\"}"))
   else
      bump(sent, "upload")
      return wrk.format("POST", "/tcclientData2.app?key=" .. key ..
         "&pmid=3&e_no=7&clock_type=1&lat=45.5&lon=-122.6&clock_date=01%2F05%2F2021%2008%3A00" ..
         "&oclock_date=01%2F05%2F2021%2008%3A00&tskey=t&devId=load&RID=upload" ..
         "&fn=load-" .. tid .. "-" .. counter .. ".jpg", multipart, upload_body)
   end
end

local function error_class(status, body)
   if status ~= 200 then return "HTTP status " .. status end
   local message = body:match('"response":"(.-)","eofline"')
   if message == nil then
      if body:find("begin of response message", 1, true) then return "envelope missing" end
      return "not an envelope"
   end
   -- Numbers and paths vary from answer to answer; the class keeps the words.
   return (message:sub(1, 90):gsub("%d+", "N"):gsub("/[^ ]*", "PATH"))
end

function response(status, headers, body)
   local now = os.time()
   bump(answers_at, now)
   if status == 200 and body:find("Tallyhand Application Test page", 1, true) then
      bump(ok, "test_page")
      return
   end
   if status == 200 and body:find('"error":"0"', 1, true) then
      if body:find('"key":"', 1, true) then
         bump(ok, "signin")
         key = body:match('"key":"(%w+)"') or key
      elseif body:find('"TimeCardID"', 1, true) then
         bump(ok, "timecard")
      elseif body:find('"PictureID"', 1, true) then
         bump(ok, "upload")
      elseif body:find('"PMID"', 1, true) then
         bump(ok, "call_key")
      elseif body:find('"Description"', 1, true) then
         bump(ok, "call_credentials")
      else
         bump(ok, "other")
      end
      return
   end
   local class = error_class(status, body)
   if class:find("^Invalid request!this is not json") or class:find("^Error: Invalid URL encoded") then
      expected_errors = expected_errors + 1
      return
   end
   bump(errors, class)
   bump(failed, body:match('"RID":"(%a[%a_]*)"') or "unknown")
   bump(errors_at, now)
   error_first[class] = error_first[class] or now
   error_last[class] = now
end

local function json_string(text)
   return '"' .. tostring(text):gsub('[%c"\\]', function(c)
      return string.format("\\u%04x", c:byte())
   end) .. '"'
end

local function json_object(t)
   local parts = {}
   for k, v in pairs(t) do table.insert(parts, json_string(k) .. ":" .. tostring(v)) end
   return "{" .. table.concat(parts, ",") .. "}"
end

function done(summary, latency, requests)
   local total = { sent = {}, ok = {}, errors = {}, failed = {}, first = {}, last = {}, expected = 0,
                   answers_at = {}, errors_at = {} }
   for _, thread in ipairs(threads) do
      for k, v in pairs(thread:get("sent")) do total.sent[k] = (total.sent[k] or 0) + v end
      for k, v in pairs(thread:get("ok")) do total.ok[k] = (total.ok[k] or 0) + v end
      for k, v in pairs(thread:get("errors")) do total.errors[k] = (total.errors[k] or 0) + v end
      for k, v in pairs(thread:get("error_first")) do
         if not total.first[k] or v < total.first[k] then total.first[k] = v end
      end
      for k, v in pairs(thread:get("error_last")) do
         if not total.last[k] or v > total.last[k] then total.last[k] = v end
      end
      for k, v in pairs(thread:get("failed")) do total.failed[k] = (total.failed[k] or 0) + v end
      for k, v in pairs(thread:get("answers_at")) do total.answers_at[k] = (total.answers_at[k] or 0) + v end
      for k, v in pairs(thread:get("errors_at")) do total.errors_at[k] = (total.errors_at[k] or 0) + v end
      total.expected = total.expected + thread:get("expected_errors")
   end
   local e = summary.errors
   io.write(string.format(
      'LOADJSON {"requests":%d,"duration_us":%d,"p50_us":%d,"p99_us":%d,"max_us":%d,' ..
      '"connect":%d,"read":%d,"write":%d,"status":%d,"timeout":%d,"expected_errors":%d,' ..
      '"sent":%s,"ok":%s,"failed":%s,"errors":%s,"error_first":%s,"error_last":%s,' ..
      '"answers_at":%s,"errors_at":%s}\n',
      summary.requests, summary.duration, latency:percentile(50), latency:percentile(99),
      latency.max, e.connect, e.read, e.write, e.status, e.timeout, total.expected,
      json_object(total.sent), json_object(total.ok), json_object(total.failed), json_object(total.errors),
      json_object(total.first), json_object(total.last), json_object(total.answers_at),
      json_object(total.errors_at)))
end
