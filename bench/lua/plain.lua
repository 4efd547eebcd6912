-- GET the URL as given; no answer is inspected (wrk's fast path). wrk itself counts
-- socket errors and answers with a status of 400 or more.
package.path = debug.getinfo(1, "S").source:match("^@(.*/)") .. "?.lua;" .. package.path
local common = require("common")
setup = common.setup
done = common.done
