-- Multipart JPEG upload with the clock event in the query string (taken from the URL).
-- The file name varies over a small set per thread so that the pictures folder stays
-- small while concurrent writers rarely meet on one name.
--   wrk ... -s upload.lua URL -- JPEG_FILE
package.path = debug.getinfo(1, "S").source:match("^@(.*/)") .. "?.lua;" .. package.path
local common = require("common")
setup = common.setup
done = common.done

local boundary = "----tallyhandbench7d1f"
local body, headers
local counter = 0

function init(args)
   local jpeg = common.read_file(args[1])
   body = "--" .. boundary .. "\r\n" ..
      'Content-Disposition: form-data; name="file"; filename="part.jpg"\r\n' ..
      "Content-Type: image/jpeg\r\n\r\n" .. jpeg .. "\r\n--" .. boundary .. "--\r\n"
   headers = { ["Content-Type"] = "multipart/form-data; boundary=" .. boundary }
end

function request()
   counter = counter + 1
   local name = string.format("bench-%d-%d.jpg", tid or 0, counter % 32)
   return wrk.format("POST", wrk.path .. "&fn=" .. name, headers, body)
end

function response(status, headers, body)
   common.check(status, body, '"PictureID"')
end
