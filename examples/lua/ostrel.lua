-- ostrel.lua: a sample script for the ostrel agent. It builds and parses
-- every cloud message as JSON (lua-cjson) and supplies the agent's settings
-- as globals. Installed as /usr/lib/lua/ostrel.lua.
--
-- Settings come from the environment when set (OSTREL_<NAME>), so a sandbox
-- or a test can point the agent at its own broker:
--   OSTREL_SN (AP0001)            OSTREL_SERVER_IP (127.0.0.1)
--   OSTREL_SERVER_PORT (1883)     OSTREL_SERVER_KEEPLIVE (60)
--   OSTREL_SERVER_DELAY (0)       OSTREL_SERVER_INTERVAL (30)
--   OSTREL_SERVER_EVENTINTERVAL (60)  OSTREL_BIND_FLAG (1)
--   OSTREL_APMODE (0)             OSTREL_SERVER_TLS (0; 1 or true sets it)
--   OSTREL_SERVER_CAFILE, OSTREL_SERVER_CERTFILE, OSTREL_SERVER_KEYFILE
--                                 (unset) TLS files, used when server_tls is
--                                 set: the CA the broker's certificate must
--                                 chain to (unset: the system's, /etc/ssl/certs),
--                                 and a client certificate and its key (PEM)
--                                 for a broker that asks for one
--   OSTREL_SERVER_SUB, OSTREL_SERVER_CONFIG, OSTREL_SERVER_EVENT,
--   OSTREL_SERVER_LOGGER, OSTREL_SERVER_REPLY, OSTREL_SCHEDULE_TOPIC (topics)
--   OSTREL_MODEL (QM4471R)        OSTREL_VERSION (V2.0)
--   OSTREL_FIRMWARE (/tmp/firmware.img)  OSTREL_UPTIME_FILE (/proc/uptime)
--
-- Topics (SN is the serial number):
--   ostrel/SN/down      server_sub: everything the cloud sends
--   ostrel/SN/config    server_config: join and configure requests
--   ostrel/SN/event     server_event: station events, station-info reports
--   ostrel/SN/logger    server_logger: heartbeats
--   ostrel/SN/reply     replies to requests
--   ostrel/SN/schedule  scheduled messages, unless the request names topics
--
-- Protocol: one JSON object per message. What the AP sends has a "type"
-- text; a request of the cloud has a "type" number 1 to 6 and an "id" that
-- the replies carry back. Every message holds "sn".
--   AP -> cloud  {"type":"join","model":..,"version":..,"reboot":n}     config
--   cloud -> AP  {"type":"join_resp","result":0,"image":0|1}            down
--   AP -> cloud  {"type":"config","model":..,"version":..}              config
--   cloud -> AP  {"type":"config_resp","result":0,"config":{..}}        down
--   AP -> cloud  {"type":"heartbeat","uptime":s,"stations":n}           logger
--   AP -> cloud  {"type":"station","event":"join"|"leave","mac":..,"ip":..,
--                 "hostname":..,"extra":..,"ssid":..,"radio":r,"wlan":w,
--                 "txbytes":..,"rxbytes":..,"txrate":..,"rxrate":..,
--                 "rssi":..,"uptime":..,"phyrate":..}                   event
--   AP -> cloud  {"type":"stainfo","uptime":s,"stations":[{"mac","ip",
--                 "hostname","ssid","radio","wlan","rssi"}..],"more":true?}  event
--   cloud -> AP  requests, on down:
--     1 run       {"type":1,"id":n,"schedule":{"times":t,"topics":[..]}?,
--                  "config":{..}?}  schedule: send t scheduled messages
--     2 disconnect {"type":2,"id":n}  (the agent drops the link itself)
--     3 get       {"type":3,"id":n,"keys":[..]?}
--     4 download  {"type":4,"id":n,"upgrade":true|false}
--     5 upload    {"type":5,"id":n,"what":"status"|"config"|"stations"}
--     6 command   {"type":6,"id":n,"command":"echo TEXT"|"uptime"|"version"}
--   AP -> cloud  replies, on reply:
--     {"type":"ack","id":n,"request":1|4}          types 1 and 4, at once
--     {"type":"get_resp","id":n,"values":{..},"unknown":[..]?}
--     {"type":"download_resp","id":n,"upgrade":bool,"image":bool}
--             the agent flashes OSTREL_FIRMWARE when upgrade is asked
--     {"type":"upload_resp","id":n,"what":..,"code":0|1,"data":..}
--     {"type":"command_resp","id":n,"command":..,"code":0|1,"output":..}
--   AP -> cloud  {"type":"schedule","id":n,"seq":k,"times":t,"uptime":s}
--             on each topic of the schedule, once per scheduled send

local cjson = require "cjson"
-- "NaN", "Infinity" and hexadecimal are not JSON: refuse them.
if cjson.decode_invalid_numbers then cjson.decode_invalid_numbers(false) end

local function setting(name, default)
    local v = os.getenv("OSTREL_" .. name)
    if v == nil or v == "" then return default end
    if type(default) == "number" then return tonumber(v) or default end
    if type(default) == "boolean" then return v == "1" or v == "true" end
    return v
end

SN = setting("SN", "AP0001")
local prefix = "ostrel/" .. SN .. "/"

server_ip = setting("SERVER_IP", "127.0.0.1")
server_port = setting("SERVER_PORT", 1883)
server_keeplive = setting("SERVER_KEEPLIVE", 60)
server_delay = setting("SERVER_DELAY", 0)
server_interval = setting("SERVER_INTERVAL", 30)
server_eventinterval = setting("SERVER_EVENTINTERVAL", 60)
bind_flag = setting("BIND_FLAG", 1)
server_tls = setting("SERVER_TLS", false)
server_cafile = setting("SERVER_CAFILE", nil)
server_certfile = setting("SERVER_CERTFILE", nil)
server_keyfile = setting("SERVER_KEYFILE", nil)
server_sub = setting("SERVER_SUB", prefix .. "down")
server_config = setting("SERVER_CONFIG", prefix .. "config")
server_event = setting("SERVER_EVENT", prefix .. "event")
server_logger = setting("SERVER_LOGGER", prefix .. "logger")
server_reply = setting("SERVER_REPLY", prefix .. "reply")
schedule_topic = setting("SCHEDULE_TOPIC", prefix .. "schedule")
ApMode = setting("APMODE", 0)
-- 1 while a scheduled message is waiting for SCHEDULE_ON_MESSAGE.
schedule_queue = 0
-- Bounds of every call the agent makes into this script (0 or unset: 50
-- million instructions per call, 16 MiB in use), read once after loading.
-- SCRIPT_MAX_INSTRUCTIONS = 50000000 SCRIPT_MAX_MEMORY_KB = 16384

MODEL = setting("MODEL", "QM4471R")
VERSION = setting("VERSION", "V2.0")
FIRMWARE = setting("FIRMWARE", "/tmp/firmware.img")
UPTIME_FILE = setting("UPTIME_FILE", "/proc/uptime")

-- The station-info report and the heartbeat must fit the agent's
-- 2048-byte buffer; a longer station list is cut ("more":true).
MESSAGE_BUDGET = 2000

local started = os.time()
-- What the cloud said during provisioning.
local session = {}
-- Online stations by MAC, from the agent's station events.
local stations = {}
-- The schedule a run request asked for: {id, times, seq, topics}.
local schedule = nil

-- Decodes a message into a table, or nil (not JSON, not an object, or
-- meant for another AP).
local function decode(text)
    local ok, msg = pcall(cjson.decode, text)
    if not ok or type(msg) ~= "table" then return nil end
    if msg.sn ~= nil and msg.sn ~= SN then return nil end
    return msg
end

-- A whole number that an int32 holds, or nil (NaN, infinities, fractions).
local function as_int(v)
    if type(v) ~= "number" or v ~= math.floor(v) then return nil end
    if v < -2147483648 or v > 2147483647 then return nil end
    return v
end

-- cjson writes an empty table as {}: an empty list is spliced in by hand.
local function encode(msg, list_key, list)
    msg.sn = SN
    if list_key == nil then return cjson.encode(msg) end
    if #list > 0 then
        msg[list_key] = list
        local text = cjson.encode(msg)
        msg[list_key] = nil
        return text
    end
    return cjson.encode(msg):sub(1, -2) .. ',"' .. list_key .. '":[]}'
end

-- The stations in MAC order, for reports that must read the same each time.
local function station_list()
    local macs = {}
    for mac in pairs(stations) do macs[#macs + 1] = mac end
    table.sort(macs)
    local list = {}
    for i, mac in ipairs(macs) do list[i] = stations[mac] end
    return list
end

local function station_count()
    local n = 0
    for _ in pairs(stations) do n = n + 1 end
    return n
end

-- Provisioning ----------------------------------------------------------------

function APConnetOstrel()
    return 2
end

-- Nothing to fetch in the image step: go on to configure.
function APEnterImage()
    return 4
end

function AssembleAPJoinMsg()
    return encode({type = "join", model = MODEL, version = VERSION,
                   reboot = as_int(isReboot) or 0})
end

function APParseJoinResponseMessage(text)
    local msg = decode(text)
    if msg == nil or msg.type ~= "join_resp" then return end
    session.joined = (msg.result == 0)
    session.need_image = (msg.image == 1 or msg.image == true)
end

function IsNeedImage()
    return session.need_image and 1 or 0
end

function APConfigAssembleMsg()
    return encode({type = "config", model = MODEL, version = VERSION})
end

function APParseConfigureResponseMessage(text)
    local msg = decode(text)
    if msg == nil or msg.type ~= "config_resp" then return end
    session.configured = (msg.result == 0)
    if type(msg.config) == "table" then session.config = msg.config end
end

-- Run state -------------------------------------------------------------------

-- Seconds since boot, from the first figure of /proc/uptime.
function getApUptime()
    local f = io.open(UPTIME_FILE, "r")
    if f ~= nil then
        local line = f:read("*l") or ""
        f:close()
        local v = tonumber(line:match("^%s*(%d+)"))
        if v ~= nil then return v end
    end
    return os.time() - started
end

function AssembleOstrelHearbeat()
    return encode({type = "heartbeat", uptime = getApUptime(), stations = station_count()})
end

local function station_brief(s)
    return {mac = s.mac, ip = s.ip, hostname = s.hostname, ssid = s.ssid, radio = s.radio,
            wlan = s.wlan, rssi = s.rssi}
end

-- The online stations, as many as fit MESSAGE_BUDGET.
function StainfoReport()
    local msg = {type = "stainfo", uptime = getApUptime()}
    local taken = {}
    local text = encode(msg, "stations", taken)
    for _, s in ipairs(station_list()) do
        taken[#taken + 1] = station_brief(s)
        local candidate = encode(msg, "stations", taken)
        if #candidate > MESSAGE_BUDGET then
            taken[#taken] = nil
            msg.more = true
            return encode(msg, "stations", taken)
        end
        text = candidate
    end
    return text
end

local EVENTS = {[1] = "join", [2] = "leave"}

function handleNetlinkInfo(kind, mac, hostname, extra, radioid, staip, txbytes, rxbytes, txrate,
                           rxrate, rssi, uptime, ssid, phyrate, wlanid)
    local s = {
        event = EVENTS[kind] or tostring(kind), mac = mac, hostname = hostname, extra = extra,
        radio = radioid, ip = staip, txbytes = txbytes, rxbytes = rxbytes, txrate = txrate,
        rxrate = rxrate, rssi = rssi, uptime = uptime, ssid = ssid, phyrate = phyrate,
        wlan = wlanid,
    }
    if kind == 1 then
        stations[mac] = s
    elseif kind == 2 then
        stations[mac] = nil
    end
    local msg = {type = "station"}
    for k, v in pairs(s) do msg[k] = v end
    return encode(msg)
end

-- The request type of a message: 1 to 6, or 0 for anything else (not JSON,
-- another AP's, no such type). Never raises.
function APRunMessageType(text)
    local msg = decode(text)
    if msg == nil then return 0 end
    local t = as_int(msg.type)
    if t == nil or t < 1 or t > 6 then return 0 end
    return t
end

local function request(text)
    return decode(text) or {}
end

-- The acknowledgement of a run (1) or download (4) request.
function APPareseRunTypeOne(text)
    local msg = request(text)
    return encode({type = "ack", id = as_int(msg.id), request = as_int(msg.type)}), server_reply
end

-- The topics of a schedule: the request's strings (no ';' inside), else the
-- default schedule topic.
local function schedule_topics(list)
    local topics = {}
    if type(list) == "table" then
        for _, t in ipairs(list) do
            if type(t) == "string" and t ~= "" and not t:find(";", 1, true) then
                topics[#topics + 1] = t
            end
        end
    end
    if #topics == 0 then return schedule_topic end
    return table.concat(topics, ";")
end

-- Applies a run request: new configuration values, a schedule.
function APParseRunResponseMessage(text)
    local msg = request(text)
    if type(msg.config) == "table" then
        session.config = session.config or {}
        for k, v in pairs(msg.config) do session.config[k] = v end
    end
    if type(msg.schedule) == "table" then
        local times = as_int(msg.schedule.times) or 1
        if times < 1 then times = 1 end
        if times > 1000 then times = 1000 end
        schedule = {id = as_int(msg.id), times = times, seq = 0,
                    topics = schedule_topics(msg.schedule.topics)}
        schedule_queue = 1
    end
end

-- One scheduled message and the topics it goes on; the queue empties after
-- the schedule's last message.
function SCHEDULE_ON_MESSAGE()
    if schedule == nil then
        schedule_queue = 0
        return nil, nil
    end
    schedule.seq = schedule.seq + 1
    local text = encode({type = "schedule", id = schedule.id, seq = schedule.seq,
                         times = schedule.times, uptime = getApUptime()})
    local topics = schedule.topics
    if schedule.seq >= schedule.times then
        schedule = nil
        schedule_queue = 0
    end
    return text, topics
end

local function status_values()
    return {sn = SN, model = MODEL, version = VERSION, uptime = getApUptime(),
            stations = station_count(), bind_flag = bind_flag, apmode = ApMode,
            server_interval = server_interval, server_eventinterval = server_eventinterval,
            joined = session.joined == true, configured = session.configured == true}
end

-- The values the request names (all of them when it names none).
function setGet_callback(text)
    local msg = request(text)
    local all = status_values()
    local reply = {type = "get_resp", id = as_int(msg.id)}
    if type(msg.keys) ~= "table" or #msg.keys == 0 then
        reply.values = all
        return encode(reply), server_reply
    end
    local values, unknown = {}, {}
    for _, key in ipairs(msg.keys) do
        if type(key) == "string" and all[key] ~= nil then
            values[key] = all[key]
        else
            unknown[#unknown + 1] = tostring(key)
        end
    end
    reply.values = values  -- cjson writes an empty table as {}
    if #unknown > 0 then reply.unknown = unknown end
    return encode(reply), server_reply
end

local function exists(path)
    local f = io.open(path, "rb")
    if f == nil then return false end
    f:close()
    return true
end

-- A download: the image is expected at FIRMWARE already; the flag asks the
-- agent to flash it and end when the request says "upgrade".
function setDownload_callback(text)
    local msg = request(text)
    local upgrade = msg.upgrade == true or msg.upgrade == 1
    local reply = encode({type = "download_resp", id = as_int(msg.id), upgrade = upgrade,
                          image = exists(FIRMWARE)})
    return reply, server_reply, upgrade and 1 or 0
end

function setUpload_callback(text)
    local msg = request(text)
    local what = type(msg.what) == "string" and msg.what or "status"
    local reply = {type = "upload_resp", id = as_int(msg.id), what = what, code = 0}
    if what == "status" then
        reply.data = status_values()
    elseif what == "config" then
        reply.data = session.config or {}
    elseif what == "stations" then
        return encode(reply, "data", station_list()), server_reply
    else
        reply.code = 1
    end
    return encode(reply), server_reply
end

local COMMANDS = {
    uptime = function() return tostring(getApUptime()) end,
    version = function() return VERSION end,
}

-- A command of the cloud: "echo TEXT", "uptime" or "version"; nothing is
-- run through the shell.
function setCommand_callback(text)
    local msg = request(text)
    local command = msg.command
    local reply = {type = "command_resp", id = as_int(msg.id), code = 1,
                   output = "unknown command"}
    if type(command) == "string" then
        reply.command = command
        local echoed = command == "echo" and "" or command:match("^echo%s+(.*)$")
        if echoed ~= nil then
            reply.code, reply.output = 0, echoed
        elseif COMMANDS[command] ~= nil then
            reply.code, reply.output = 0, COMMANDS[command]()
        end
    end
    return encode(reply), server_reply
end
