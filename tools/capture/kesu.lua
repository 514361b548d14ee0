-- Wireshark dissector for the captures of kesu-dev-server --pcap (and its tap):
-- classic pcap, link-layer type 147 (LINKTYPE_USER0). Each record is a
-- 12-byte pseudo-header (version, direction, flags, reserved, the connection
-- number the tool prints) followed by one whole frame exactly as on the wire:
-- the tool writes whole frames only, so a frame never spans two records and
-- this dissector never reassembles. Records flagged "raw" carry bytes of a
-- stream that lost its frame markers; "opened" and "closed" records carry
-- nothing.
--
--   tshark -X lua_script:kesu.lua -r capture.pcap
--   wireshark -X lua_script:kesu.lua capture.pcap    (or copy it to the plugins folder)
--
-- Fields: kesu.direction kesu.connection kesu.injected kesu.type kesu.length
-- kesu.class kesu.text (one per string) kesu.value (one per number).

local kesu = Proto("kesu", "Kesu IPC messenger")

local MARKER = 0x6D
local MAX_PAYLOAD = 16 * 1024 * 1024

local directions = { [0] = "client to server", [1] = "server to client" }

local f = kesu.fields
f.version = ProtoField.uint8("kesu.version", "Capture version")
f.direction = ProtoField.uint8("kesu.direction", "Direction", base.DEC, directions)
f.flags = ProtoField.uint8("kesu.flags", "Flags", base.HEX)
f.injected = ProtoField.bool("kesu.injected", "Injected by the tool", 8, nil, 0x01)
f.opened = ProtoField.bool("kesu.opened", "Connection opened", 8, nil, 0x02)
f.closed = ProtoField.bool("kesu.closed", "Connection closed", 8, nil, 0x04)
f.raw = ProtoField.bool("kesu.raw", "Raw bytes, not cut into frames", 8, nil, 0x08)
f.connection = ProtoField.uint64("kesu.connection", "Connection")
f.marker = ProtoField.uint8("kesu.marker", "Frame marker", base.HEX)
f.type = ProtoField.uint24("kesu.type", "Type")
f.length = ProtoField.uint32("kesu.length", "Payload length")
f.class = ProtoField.string("kesu.class", "Message class")
f.text = ProtoField.string("kesu.text", "Text")
f.value = ProtoField.uint64("kesu.value", "Value")
f.flag = ProtoField.bool("kesu.flag", "Flag")
f.bytes = ProtoField.bytes("kesu.bytes", "Bytes")

local e_marker = ProtoExpert.new("kesu.marker.wrong", "Wrong frame marker", expert.group.MALFORMED, expert.severity.ERROR)
local e_bound = ProtoExpert.new("kesu.length.bound", "Length beyond the 16 MiB bound", expert.group.MALFORMED,
    expert.severity.ERROR)
local e_short = ProtoExpert.new("kesu.payload.short", "Payload too short for its class", expert.group.MALFORMED,
    expert.severity.WARN)
local e_long = ProtoExpert.new("kesu.payload.long", "Payload longer than its class reads", expert.group.PROTOCOL,
    expert.severity.WARN)
local e_raw = ProtoExpert.new("kesu.raw.bytes", "Stream out of sync: raw bytes", expert.group.SEQUENCE,
    expert.severity.WARN)
kesu.experts = { e_marker, e_bound, e_short, e_long, e_raw }

-- Type numbers to classes, as the library's factory maps them; every other
-- number is a plain IPCMessage.
local classes = {}
local function map(class, numbers)
    for _, n in ipairs(numbers) do classes[n] = class end
end
map("IPCMessageSimpleString", { 5, 6, 8, 9, 10, 11, 17, 25, 44, 45, 49, 53, 54, 59, 64 })
map("IPCMessageStringArray", { 19, 21, 27, 28, 35, 48, 50, 51, 56, 57 })
map("IPCMessageUnsignedInt", { 26, 31, 34, 37, 38, 39, 46, 47, 52, 58, 63, 65 })
map("IPCMessageUnsignedInt64", { 33, 41 })
map("IPCMessageUnsignedIntArray", { 60 })
map("IPCMessageRecorderStats", { 15 })
map("IPCMessagePlayerPlaybackInfo", { 32 })
map("IPCMessagePlayerMediaInfo", { 40 })

-- A reader over the payload that, like the library's, never reads past its
-- end: each read returns nil when the bytes are not there.
local function reader(buffer, offset, length)
    local r = { at = offset, stop = offset + length }
    function r.left() return r.stop - r.at end
    function r.take(n)
        if r.left() < n then return nil end
        local range = buffer(r.at, n)
        r.at = r.at + n
        return range
    end
    -- A text: a 4-byte length, the bytes, a terminator (which may be missing at the end).
    function r.text()
        if r.left() < 4 then return nil end
        local n = buffer(r.at, 4):uint()
        if r.left() - 4 < n then return nil end
        local range = buffer(r.at, 4 + n + (r.left() - 4 > n and 1 or 0))
        local value = n > 0 and buffer(r.at + 4, n):raw() or ""
        r.at = r.at + range:len()
        return range, value
    end
    return r
end

-- Each decoder adds the fields of its class and returns false when the
-- payload ended before the class had all it reads.
local decoders = {}

decoders.IPCMessageSimpleString = function(r, tree)
    local range, text = r.text()
    if not range then return false end
    tree:add(f.text, range, text)
    return true
end

decoders.IPCMessageStringArray = function(r, tree)
    local count = r.take(4)
    if not count then return false end
    for _ = 1, count:uint() do
        local range, text = r.text()
        if not range then return false end
        tree:add(f.text, range, text)
    end
    return true
end

decoders.IPCMessageUnsignedInt = function(r, tree)
    local value = r.take(4)
    if not value then return false end
    tree:add(f.value, value, UInt64(value:uint()))
    return true
end

decoders.IPCMessageUnsignedInt64 = function(r, tree)
    local value = r.take(8)
    if not value then return false end
    tree:add(f.value, value, value:uint64())
    return true
end

decoders.IPCMessageUnsignedIntArray = function(r, tree)
    local count = r.take(4)
    if not count then return false end
    for _ = 1, count:uint() do
        local value = r.take(4)
        if not value then return false end
        tree:add(f.value, value, UInt64(value:uint()))
    end
    return true
end

decoders.IPCMessageRecorderStats = function(r, tree)
    local stats = r.take(1)
    if not stats then return false end
    tree:add(f.value, stats, UInt64(stats:uint()))
    return true
end

decoders.IPCMessagePlayerPlaybackInfo = function(r, tree)
    local record = r.take(30)
    if not record then return false end
    tree:add(f.bytes, record)
    return true
end

decoders.IPCMessagePlayerMediaInfo = function(r, tree)
    local range, text = r.text()
    if not range then return false end
    tree:add(f.text, range, text)
    local flag = r.take(1)
    if not flag then return false end
    tree:add(f.flag, flag, flag:uint() ~= 0)
    local value = r.take(8)
    if not value then return false end
    tree:add(f.value, value, value:uint64())
    local count = r.take(2)
    if not count then return false end
    for _ = 1, count:uint() do
        local numbers = { r.take(4), r.take(4), r.take(4) }
        for _, number in ipairs(numbers) do
            if not number then return false end
            tree:add(f.value, number, UInt64(number:uint()))
        end
        for _ = 1, 2 do
            local textRange, streamText = r.text()
            if not textRange then return false end
            tree:add(f.text, textRange, streamText)
        end
    end
    return true
end

-- The client's allowed-types list (type 1) has no class of its own: its
-- numbers are shown all the same.
local function allowedTypes(r, tree)
    while r.left() >= 4 do
        local value = r.take(4)
        tree:add(f.value, value, UInt64(value:uint()))
    end
end

local function dissectFrame(buffer, offset, pinfo, tree)
    local header = tree:add(kesu, buffer(offset), "Frame")
    local marker = buffer(offset, 1):uint()
    local markerItem = header:add(f.marker, buffer(offset, 1))
    if marker ~= MARKER then
        markerItem:add_proto_expert_info(e_marker)
        return
    end
    if buffer:len() - offset < 8 then
        header:add_proto_expert_info(e_short, "Frame shorter than its header")
        return
    end
    local typeNumber = buffer(offset + 1, 3):uint()
    local length = buffer(offset + 4, 4):uint()
    local class = classes[typeNumber] or "IPCMessage"
    header:add(f.type, buffer(offset + 1, 3))
    local lengthItem = header:add(f.length, buffer(offset + 4, 4))
    header:add(f.class, class)
    header:set_text(string.format("Frame: type %d, %s, %d bytes", typeNumber, class, length))
    pinfo.cols.info:append(string.format(" type=%d %s length=%d", typeNumber, class, length))
    if length > MAX_PAYLOAD then lengthItem:add_proto_expert_info(e_bound) end
    local payloadOffset = offset + 8
    local available = math.min(length, buffer:len() - payloadOffset)
    local r = reader(buffer, payloadOffset, available)
    local decode = decoders[class]
    if not decode then
        if typeNumber == 1 then allowedTypes(r, header) end
        if available > 0 then header:add(f.bytes, buffer(payloadOffset, available)) end
        return
    end
    if not decode(r, header) then
        header:add_proto_expert_info(e_short)
    elseif r.left() > 0 then
        header:add_proto_expert_info(e_long, string.format("%d bytes after what the class reads", r.left()))
    end
end

function kesu.dissector(buffer, pinfo, tree)
    if buffer:len() < 12 then return 0 end
    pinfo.cols.protocol = "KESU"
    local subtree = tree:add(kesu, buffer(0, 12), "Kesu capture header")
    subtree:add(f.version, buffer(0, 1))
    subtree:add(f.direction, buffer(1, 1))
    local flags = subtree:add(f.flags, buffer(2, 1))
    flags:add(f.injected, buffer(2, 1))
    flags:add(f.opened, buffer(2, 1))
    flags:add(f.closed, buffer(2, 1))
    flags:add(f.raw, buffer(2, 1))
    subtree:add(f.connection, buffer(4, 8))
    local flagBits = buffer(2, 1):uint()
    local connection = buffer(4, 8):uint64()
    local direction = directions[buffer(1, 1):uint()] or "?"
    pinfo.cols.info = string.format("connection %s %s", tostring(connection), direction)
    if bit.band(flagBits, 0x02) ~= 0 then pinfo.cols.info:append(" opened") end
    if bit.band(flagBits, 0x04) ~= 0 then pinfo.cols.info:append(" closed") end
    if bit.band(flagBits, 0x01) ~= 0 then pinfo.cols.info:append(" [injected]") end
    if buffer:len() == 12 then return 12 end
    if bit.band(flagBits, 0x08) ~= 0 then
        local raw = tree:add(f.bytes, buffer(12))
        raw:add_proto_expert_info(e_raw)
        pinfo.cols.info:append(string.format(" %d raw bytes", buffer:len() - 12))
        return buffer:len()
    end
    dissectFrame(buffer, 12, pinfo, tree)
    return buffer:len()
end

DissectorTable.get("wtap_encap"):add(wtap.USER0, kesu)
