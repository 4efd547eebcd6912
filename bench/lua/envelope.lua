-- POST a fixed form body (read from the file named by the first argument) and check
-- every answer: status 200, envelope error flag "0" and, if a second argument is
-- given, that text in the answer.
--   wrk ... -s envelope.lua URL -- BODY_FILE [MUST_CONTAIN]
package.path = debug.getinfo(1, "S").source:match("^@(.*/)") .. "?.lua;" .. package.path
local common = require("common")
setup = common.setup
done = common.done

local must

function init(args)
   wrk.method = "POST"
   wrk.body = common.read_file(args[1])
   wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
   must = args[2]
end

function response(status, headers, body)
   common.check(status, body, must)
end
