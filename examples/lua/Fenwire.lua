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

local cjson = require "cjson"

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

MODEL = setting("MODEL", "QM4471R")
VERSION = setting("VERSION", "V2.0")
BIND_IP = setting("BIND_IP", "127.0.0.1")

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
