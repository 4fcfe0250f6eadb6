-- Fenwire.lua: a sample script for the Fenwire agent. It builds and parses
-- every controller message as JSON (lua-cjson) and supplies the agent's
-- settings as globals. Installed as /usr/lib/lua/Fenwire.lua.
--
-- Settings come from the environment when set (FENWIRE_<NAME>, e.g.
-- FENWIRE_SN, FENWIRE_AC_ADDR, FENWIRE_AC_PORT, FENWIRE_JOIN_TIMEOUT), so a
-- sandbox or a test can point the agent at its own broker.
--
-- Protocol (one JSON object per MQTT message, "type" names it):
--   AP -> AC  {"type":"join","sn":..,"mode":0|1,"model":..,"version":..}
--   AC -> AP  {"type":"join_resp","sn":..,"result":0}         0 = accepted
--   AP -> AC  {"type":"image","sn":..,"version":..}
--   AP -> AC  {"type":"config","sn":..}
--   AC -> AP  {"type":"config_resp","sn":..,"result":0,"config":{..}}
--   AP -> AC  {"type":"heartbeat","sn":..}
--   AC -> AP  {"type":"heartbeat_resp","sn":..}
--   AC -> AP  {"type":"run","sn":..,"id":n,"reset":code,..}     an action, by code:
--             0 state report + config backup, 1 state report when the radios
--             are ready + backup, 3 state report, 4 firmware update, 5 user info
--   AP -> AC  {"type":"ack","sn":..,"id":n,"reset":code}          reply to a run message
--   AP -> AC  {"type":"state","sn":..,"fat":0|1,"online":{"radio1":n,"radio2":m},
--              "events":[{"event":"online"|"offline","radio":r,"mac":..,"ip":..,
--                         "ssid":..,"hostname":..}]}
--   AP -> AC  {"type":"config_backup","sn":..,"config":{..}}
--   AP -> AC  {"type":"user_info","sn":..,"stations":[{..}]}
--   AP -> AC  {"type":"update_ack","sn":..,"code":c}    0 flashing, 1 no image,
--                                                        2 image rejected

local cjson = require "cjson"
-- "NaN", "Infinity" and hexadecimal are not JSON: refuse them.
if cjson.decode_invalid_numbers then cjson.decode_invalid_numbers(false) end

local function setting(name, default)
    local v = os.getenv("FENWIRE_" .. name)
    if v == nil or v == "" then return default end
    if type(default) == "number" then return tonumber(v) or default end
    return v
end

SN = setting("SN", "AP0001")
AC_ADDR = setting("AC_ADDR", "127.0.0.1")
AC_PORT = setting("AC_PORT", 1883)
JOIN_TIMES = setting("JOIN_TIMES", 3)
JOIN_TIMEOUT = setting("JOIN_TIMEOUT", 10)
CONFIG_TIMES = setting("CONFIG_TIMES", 3)
CONFIG_TIMEOUT = setting("CONFIG_TIMEOUT", 10)
HEARTBEAT_TIMEOUT = setting("HEARTBEAT_TIMEOUT", 10)
HEARTBEAT_TIMES = setting("HEARTBEAT_TIMES", 6)
IsNeedImage = setting("IS_NEED_IMAGE", 0)
-- Bounds of every call the agent makes into this script (0 or unset: 50
-- million instructions per call, 16 MiB in use), read once after loading.
-- SCRIPT_MAX_INSTRUCTIONS = 50000000 SCRIPT_MAX_MEMORY_KB = 16384

MODEL = setting("MODEL", "QM4471R")
VERSION = setting("VERSION", "V2.0")
HW_VERSION = setting("HW_VERSION", "V2.0")
BIND_IP = setting("BIND_IP", "127.0.0.1")
RIMELOAD = setting("RIMELOAD", "rimeload")
FIRMWARE = "/tmp/firmware.img"

-- Every message must fit the agent's 8192-byte buffer; long lists are cut
-- to this budget (the rest of a state report's events goes in the next one,
-- and the message says "more":true).
MESSAGE_BUDGET = 8000

-- What the controller sent back during provisioning.
local session = {}

-- Decodes a payload into a table of the wanted type, or nil.
local function decode(payload, wanted)
    local ok, msg = pcall(cjson.decode, payload)
    if not ok or type(msg) ~= "table" or msg.type ~= wanted then return nil end
    if msg.sn ~= nil and msg.sn ~= SN then return nil end
    return msg
end

local function encode(msg)
    msg.sn = SN
    return cjson.encode(msg)
end

-- Discovery: the controller's address is configured, so go straight to join.
function APEnterDiscovery()
    return 2
end

function clean_config()
    session = {}
end

-- The local address the MQTT connection is made from.
function getIp()
    return BIND_IP
end

function AssembleAPJoinMsg(mode)
    return encode({type = "join", mode = mode, model = MODEL, version = VERSION})
end

function APParseJoinResponseMessage(payload)
    local msg = decode(payload, "join_resp")
    if msg == nil or msg.result ~= 0 then return 0 end
    session.joined = true
    return 1
end

function APImageAssembleMsg()
    return encode({type = "image", version = VERSION})
end

-- The image step asks for nothing the agent waits on: go on to configure.
-- (The agent reads HEARTBEAT_* only on a join that goes straight to
-- configure, so after an image step the heartbeat keeps its defaults.)
function APEnterImage()
    return 4
end

function APConfigAssembleMsg()
    return encode({type = "config"})
end

function APParseConfigureResponseMessage(payload)
    local msg = decode(payload, "config_resp")
    if msg == nil or msg.result ~= 0 then return 0 end
    session.config = msg.config or {}
    return 1
end

-- Run state -----------------------------------------------------------------

-- Collected between the calls that report them, cleared once sent.
local pending_events = {}
local online = {radio1 = 0, radio2 = 0}
local pending_users = {}

-- A whole number that an int32 holds, or nil (NaN, infinities, fractions).
local function as_int(v)
    if type(v) ~= "number" or v ~= math.floor(v) then return nil end
    if v < -2147483648 or v > 2147483647 then return nil end
    return v
end

-- Classifies one inbound message: 2 heartbeat answer, 1 run message (with
-- the reply to publish at once), 0 anything else.
function getRunMessType(payload)
    local ok, msg = pcall(cjson.decode, payload)
    if not ok or type(msg) ~= "table" then return 0, "" end
    if msg.sn ~= nil and msg.sn ~= SN then return 0, "" end
    if msg.type == "heartbeat_resp" then return 2, "" end
    if msg.type == "run" then
        return 1, encode({type = "ack", id = as_int(msg.id), reset = as_int(msg.reset)})
    end
    return 0, ""
end

-- recode 1 for a well-formed run message, and its action code.
function APParseRunResponseMessage(payload)
    local msg = decode(payload, "run")
    if msg == nil or as_int(msg.reset) == nil then return 0, 0 end
    return 1, msg.reset
end

-- cjson writes an empty table as {}: an empty list is spliced in by hand.
local function encode_with_list(msg, key, list)
    if #list > 0 then
        msg[key] = list
        local text = encode(msg)
        msg[key] = nil
        return text
    end
    local text = encode(msg)
    return text:sub(1, -2) .. ',"' .. key .. '":[]}'
end

-- msg with the encoded items `pieces` spliced in as its list `key`.
local function splice(msg, key, pieces)
    local empty = encode_with_list(msg, key, {})  -- ends with "[]}"
    return empty:sub(1, -3) .. table.concat(pieces, ",") .. "]}"
end

-- Encodes msg with as many items of list as fit MESSAGE_BUDGET ("more":true
-- when some are left); returns the text and the items left over. Each item
-- is encoded once, so a long list costs its length, not its square.
local function encode_within(msg, key, list)
    local pieces, size = {}, 0
    local base = #encode_with_list(msg, key, {})
    for i, item in ipairs(list) do
        local piece = cjson.encode(item)
        local grown = size + #piece + (i > 1 and 1 or 0)
        if base + grown > MESSAGE_BUDGET then
            msg.more = true
            base = #encode_with_list(msg, key, {})
            while #pieces > 0 and base + size > MESSAGE_BUDGET do
                size = size - #pieces[#pieces] - (#pieces > 1 and 1 or 0)
                pieces[#pieces] = nil
            end
            local rest = {}
            for k = #pieces + 1, #list do rest[#rest + 1] = list[k] end
            return splice(msg, key, pieces), rest
        end
        pieces[#pieces + 1] = piece
        size = grown
    end
    return splice(msg, key, pieces), {}
end

local function state_message(fat)
    local msg = {type = "state", fat = fat, online = online}
    local text, rest = encode_within(msg, "events", pending_events)
    pending_events = rest
    return text
end

function AssembleStateMsg(fat)
    return state_message(fat)
end

function FatAssembleStateMsg()
    return state_message(1)
end

function AssembleConfigBackup()
    return encode({type = "config_backup", config = session.config or {}})
end

function getStaInfo(kind, radio, mac, ip, ssid, hostname)
    local event = ({[1] = "online", [2] = "offline"})[kind] or tostring(kind)
    pending_events[#pending_events + 1] =
        {event = event, radio = radio, mac = mac, ip = ip, ssid = ssid, hostname = hostname}
end

function getOnlineStaNum(radio1, radio2)
    online = {radio1 = radio1, radio2 = radio2}
end

function AssembleHearbeat()
    return encode({type = "heartbeat"})
end

function getUserInfo(kind, radio, mac, ip, ssid, hostname, uptime, rxrates, txrates, rxbytes,
                     txbytes, signal, phyrate, aux32k, aux16)
    pending_users[#pending_users + 1] = {
        radio = radio, mac = mac, ip = ip, ssid = ssid, hostname = hostname,
        uptime = uptime, rxrate = rxrates, txrate = txrates, rxbytes = rxbytes,
        txbytes = txbytes, signal = signal, phyrate = phyrate, aux32k = aux32k, aux16 = aux16,
    }
end

-- Stations beyond the budget are left out ("more":true); the controller can
-- ask again.
function AssembleUserInfo()
    local users = pending_users
    pending_users = {}
    return (encode_within({type = "user_info"}, "stations", users))
end

-- One shell word holding `s` exactly, whatever it contains.
local function sh_quote(s)
    return "'" .. tostring(s):gsub("'", "'\\''") .. "'"
end

-- Whether the image in place passes rimeload for this board (which deletes
-- a bad one).
local function image_passes()
    local f = io.open(FIRMWARE, "rb")
    if f == nil then return nil end
    f:close()
    local cmd = string.format("%s -H %s -n %s -f %s 2>/dev/null", sh_quote(RIMELOAD),
                              sh_quote(HW_VERSION), sh_quote(MODEL), sh_quote(FIRMWARE))
    local p = io.popen(cmd)
    if p == nil then return false end
    local out = p:read("*a") or ""
    p:close()
    return out:match("^OK") ~= nil
end

-- An update request: flash now (1) only when the image is in place and good.
function parseupdateSWconfig(payload)
    if decode(payload, "run") == nil then return 0, 2 end
    local passes = image_passes()
    if passes == nil then return 0, 1 end
    if not passes then return 0, 2 end
    return 1, 0
end

function AssembleupdateOK(code)
    return encode({type = "update_ack", code = code})
end
