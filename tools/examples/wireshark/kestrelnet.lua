-- Wireshark dissector for the recorder protocol spoken by kestrelnet
-- (display filter name "sdvr").
--
-- Every connection to a recorder carries command packets:
--   "SDVR" | session id (4) | length (2, little-endian, payload + 1) | code (1) | payload
-- A media connection (live, playback, download) opens with one command packet
-- each way; after that the recorder sends media frames back to back:
--   type (1) | payload length (3, little-endian) | payload
-- Over UDP every media datagram starts with 2 unused bytes and a 16-bit
-- little-endian sequence number, and carries the next stretch of the same
-- frame sequence. A talk connection carries raw audio bytes after its opening.
--
-- The dissector registers as a heuristic on TCP and UDP, so it finds the
-- protocol on any port: a datagram or segment that starts with "SDVR" claims
-- its conversation, and everything later on that conversation comes here.
-- Packets and frames are reassembled across segments and datagrams by the
-- dissector itself; a frame still incomplete when the capture ends is marked
-- as cut (in a two-pass run, tshark -2, or in the GUI).
--
-- Install: copy this file into the personal Lua plugin folder (Help > About
-- Wireshark > Folders), or run tshark -X lua_script:kestrelnet.lua.

local sdvr = Proto("sdvr", "SDVR recorder protocol")

-- Names of the codes. A code that is both a command and a device-parameter
-- code carries its command's name; 56 is a keep-alive from the host and a
-- recorder message from the recorder.
local code_names = {
    [33] = "parameter request 33", [34] = "parameter reply to 33",
    [35] = "open talk", [36] = "stop talk", [37] = "talk accepted", [38] = "talk refused",
    [42] = "parameter 42", [43] = "parameter 43",
    [49] = "login", [51] = "login reply", [53] = "logout", [55] = "logout reply",
    [56] = "keep-alive / recorder message",
    [57] = "open live", [59] = "live accepted", [61] = "stop live", [63] = "stop live reply",
    [69] = "search day", [71] = "search reply",
    [73] = "open playback", [75] = "playback accepted",
    [76] = "playback control", [77] = "playback control reply", [79] = "stop playback",
    [81] = "open download", [83] = "download accepted",
    [87] = "parameter request 87", [89] = "parameter reply to 87",
    [163] = "parameter request 163", [164] = "parameter request 164",
    [166] = "parameter reply to 163/164",
}
-- Codes answered by the same code.
for _, range in ipairs({ {93, 93}, {97, 114}, {117, 120}, {123, 124}, {127, 127}, {129, 139},
                         {142, 143}, {145, 145}, {170, 170}, {173, 173}, {231, 232} }) do
    for c = range[1], range[2] do
        if code_names[c] == nil then
            code_names[c] = "parameter " .. c
        end
    end
end

local frame_type_names = { [0] = "type 0 (no prefix)", [1] = "audio", [2] = "video", [3] = "video (type 3)" }
local playback_ops = { [0] = "pause", [1] = "resume", [2] = "slower", [3] = "faster", [4] = "step" }

local f = {
    magic = ProtoField.string("sdvr.magic", "Magic"),
    session_id = ProtoField.bytes("sdvr.session_id", "Session id"),
    length = ProtoField.uint16("sdvr.length", "Length", base.DEC),
    code = ProtoField.uint8("sdvr.code", "Code", base.DEC, code_names),
    payload = ProtoField.bytes("sdvr.payload", "Payload"),
    user_length = ProtoField.uint8("sdvr.login.user_length", "User name length"),
    user = ProtoField.string("sdvr.login.user", "User name"),
    password_length = ProtoField.uint8("sdvr.login.password_length", "Password length"),
    login_result = ProtoField.uint8("sdvr.login.result", "Login result", base.DEC),
    channel = ProtoField.uint8("sdvr.channel", "Channel"),
    time = ProtoField.string("sdvr.time", "Start time"),
    end_time = ProtoField.string("sdvr.end_time", "End time"),
    date = ProtoField.string("sdvr.search.date", "Day"),
    selector = ProtoField.uint8("sdvr.search.selector", "Selector"),
    record_count = ProtoField.uint8("sdvr.search.count", "Record count"),
    record = ProtoField.bytes("sdvr.search.record", "Recording"),
    record_start = ProtoField.string("sdvr.search.record.start", "Start"),
    record_end = ProtoField.string("sdvr.search.record.end", "End"),
    record_value = ProtoField.uint32("sdvr.search.record.value", "Value", base.HEX),
    keepalive_channels = ProtoField.uint16("sdvr.keepalive.channels", "Live channels", base.HEX),
    message = ProtoField.bytes("sdvr.message", "Recorder message"),
    param_request = ProtoField.uint8("sdvr.param.request", "Parameter request code", base.DEC),
    stream_id = ProtoField.bytes("sdvr.stream_id", "Stream id"),
    group = ProtoField.ipv4("sdvr.multicast.group", "Multicast group"),
    group_port = ProtoField.uint16("sdvr.multicast.port", "Multicast port"),
    control_op = ProtoField.uint8("sdvr.control.operation", "Operation", base.DEC, playback_ops),
    control_level = ProtoField.uint8("sdvr.control.level", "Level"),
    frame = ProtoField.bytes("sdvr.frame", "Frame"),
    frame_type = ProtoField.uint8("sdvr.frame.type", "Frame type", base.DEC, frame_type_names),
    frame_length = ProtoField.uint24("sdvr.frame.length", "Frame payload length", base.DEC),
    frame_payload = ProtoField.bytes("sdvr.frame.payload", "Frame payload"),
    frame_partial = ProtoField.uint32("sdvr.frame.partial", "Bytes of an unfinished frame or packet"),
    reassembled_from = ProtoField.framenum("sdvr.reassembled_from", "Reassembled from frame"),
    udp_seq = ProtoField.uint16("sdvr.udp.seq", "Datagram sequence number"),
    audio = ProtoField.bytes("sdvr.audio", "Talk audio"),
}
local field_list = {}
for _, v in pairs(f) do
    field_list[#field_list + 1] = v
end
sdvr.fields = field_list

local ef = {
    malformed = ProtoExpert.new("sdvr.malformed", "Malformed SDVR data",
        expert.group.MALFORMED, expert.severity.ERROR),
    cut = ProtoExpert.new("sdvr.cut", "Cut by the end of the capture",
        expert.group.REASSEMBLE, expert.severity.WARN),
    gap = ProtoExpert.new("sdvr.gap", "Sequence gap: the frame in progress is given up",
        expert.group.SEQUENCE, expert.severity.WARN),
    lost = ProtoExpert.new("sdvr.lost", "Bytes missing from the capture: reassembly restarts",
        expert.group.SEQUENCE, expert.severity.WARN),
    short_records = ProtoExpert.new("sdvr.search.short", "Fewer records than the count says",
        expert.group.MALFORMED, expert.severity.WARN),
}
sdvr.experts = { ef.malformed, ef.cut, ef.gap, ef.lost, ef.short_records }

local tcp_stream_f = Field.new("tcp.stream")
local tcp_seq_f = Field.new("tcp.seq")
local udp_stream_f = Field.new("udp.stream")

local kMaxFrame = 160000
-- Largest command payload: a reply must fit the library's 32768-byte reply
-- buffer with its 11-byte header.
local kMaxPayload = 32768 - 11
local kMagic = { 0x53, 0x44, 0x56, 0x52 }

-- Capture-wide state, rebuilt on every (re)load of a capture:
-- conversations by "tcp:<n>" / "udp:<n>"; per frame number the results of
-- the first pass; the ids of packets or frames not yet complete.
local conversations, results, pending, next_pdu_id

local function reset_state()
    conversations = {}
    results = {}
    pending = {}
    next_pdu_id = 0
end
reset_state()
sdvr.init = reset_state

local function starts_with_magic(ba, offset)
    if ba:len() - offset < 4 then
        return false
    end
    for i = 1, 4 do
        if ba:get_index(offset + i - 1) ~= kMagic[i] then
            return false
        end
    end
    return true
end

-- Kind of a conversation, from the first command its host sends on it.
local opening_kinds = { [57] = "live", [73] = "playback", [81] = "download", [35] = "talk", [36] = "stop talk" }

local function time_text(r, with_date)
    local text = string.format("%02d:%02d:%02d", r[4], r[5], r[6])
    if with_date then
        text = string.format("%04d-%02d-%02d ", 2000 + r[1], r[2], r[3]) .. text
    end
    return text
end

-- Reads n bytes of the range into a Lua array (1-based).
local function bytes_of(range, n)
    local out = {}
    for i = 0, n - 1 do
        out[i + 1] = range(i, 1):uint()
    end
    return out
end

-- Payload fields of a command packet. from_host: sent by the host (request).
-- pl is nil when n is 0; every use below checks n first.
local function dissect_payload(code, code_range, from_host, pl, n, tree, conv)
    local t = tree
    if from_host then
        if code == 49 then
            if n < 1 then return t:add_proto_expert_info(ef.malformed, "login without payload") end
            local ulen = pl(0, 1):uint()
            t:add(f.user_length, pl(0, 1))
            if n < 2 + ulen then
                return t:add_proto_expert_info(ef.malformed, "login payload shorter than its user name")
            end
            if ulen > 0 then t:add(f.user, pl(1, ulen)) end
            t:add(f.password_length, pl(1 + ulen, 1))
            if n < 2 + ulen + pl(1 + ulen, 1):uint() then
                t:add_proto_expert_info(ef.malformed, "login payload shorter than its password")
            end
        elseif code == 56 and n >= 14 then
            t:add_le(f.keepalive_channels, pl(12, 2))
        elseif code == 61 and n >= 1 then
            t:add(f.channel, pl(0, 1))
        elseif code == 69 then
            if n < 5 then return t:add_proto_expert_info(ef.malformed, "search query shorter than 5 bytes") end
            local b = bytes_of(pl, 3)
            t:add(f.date, pl(0, 3), string.format("%04d-%02d-%02d", 2000 + b[1], b[2], b[3]))
            t:add(f.channel, pl(3, 1))
            t:add(f.selector, pl(4, 1))
        elseif code == 57 and conv.kind == "live" then
            if n < 2 then return t:add_proto_expert_info(ef.malformed, "live opening shorter than 2 bytes") end
            t:add(f.channel, pl(0, 1))
        elseif (code == 73 and conv.kind == "playback") or (code == 81 and conv.kind == "download") then
            local need = code == 73 and 7 or 170
            if n < need then
                return t:add_proto_expert_info(ef.malformed, "opening shorter than " .. need .. " bytes")
            end
            local b = bytes_of(pl, 10 > n and n or 10)
            t:add(f.channel, pl(3, 1))
            t:add(f.time, pl(0, 7), string.format("%04d-%02d-%02d %02d:%02d:%02d",
                2000 + b[1], b[2], b[3], b[5], b[6], b[7]))
            if code == 81 then
                t:add(f.end_time, pl(7, 3), string.format("%02d:%02d:%02d", b[8], b[9], b[10]))
            end
        elseif code == 76 then
            if n < 7 then return t:add_proto_expert_info(ef.malformed, "playback control shorter than 7 bytes") end
            t:add(f.stream_id, pl(0, 4))
            t:add(f.control_op, pl(5, 1))
            t:add(f.control_level, pl(6, 1))
        elseif code == 79 then
            if n < 4 then return t:add_proto_expert_info(ef.malformed, "stop playback shorter than 4 bytes") end
            t:add(f.stream_id, pl(0, 4))
        elseif conv.kind == "command" and code_names[code] ~= nil and code ~= 53 then
            t:add(f.param_request, code_range)
        end
    else
        if code == 51 and n >= 1 then
            t:add(f.login_result, pl(0, 1))
        elseif code == 56 then
            if n >= 12 then t:add(f.message, pl(0, 12)) end
        elseif code == 71 then
            if n < 1 then return t:add_proto_expert_info(ef.malformed, "search reply without payload") end
            local count = pl(0, 1):uint()
            t:add(f.record_count, pl(0, 1))
            local have = n >= 5 and math.floor((n - 5) / 10) or 0
            if have < count then
                t:add_proto_expert_info(ef.short_records,
                    string.format("count %d, %d whole records received", count, have))
            end
            for i = 0, math.min(count, have) - 1 do
                local r = pl(5 + 10 * i, 10)
                local b = bytes_of(r, 6)
                local rt = t:add(f.record, r)
                rt:set_text(string.format("Recording %d: %02d:%02d:%02d-%02d:%02d:%02d", i + 1,
                    b[1], b[2], b[3], b[4], b[5], b[6]))
                rt:add(f.record_start, r(0, 3), string.format("%02d:%02d:%02d", b[1], b[2], b[3]))
                rt:add(f.record_end, r(3, 3), string.format("%02d:%02d:%02d", b[4], b[5], b[6]))
                rt:add_le(f.record_value, r(6, 4))
            end
        elseif code == 59 and n >= 7 then
            if math.floor(pl(1, 1):uint() / 16) == 14 then
                t:add(f.group, pl(1, 4))
                t:add(f.group_port, pl(5, 2))
            end
        elseif code == 75 and n >= 4 then
            t:add(f.stream_id, pl(0, 4))
        end
    end
end

-- One whole command packet at the start of range r (r:len() == its length).
local function dissect_command(r, pinfo, tree, from_host, conv)
    local code = r(10, 1):uint()
    local declared = r(8, 2):le_uint()
    local t = tree:add(sdvr, r)
    t:add(f.magic, r(0, 4))
    t:add(f.session_id, r(4, 4))
    local li = t:add_le(f.length, r(8, 2))
    if declared == 0 then
        li:add_proto_expert_info(ef.malformed, "length 0: no room for the code byte")
    end
    t:add(f.code, r(10, 1))
    local n = r:len() - 11
    local pl = nil
    if n > 0 then
        pl = r(11, n)
        t:add(f.payload, pl)
    end
    dissect_payload(code, r(10, 1), from_host, pl, n, t, conv)
    local name = code_names[code] or "code " .. code
    if code == 56 then name = from_host and "keep-alive" or "recorder message" end
    t:append_text(string.format(", %s (%d), session %s", name, code, tostring(r(4, 4):bytes())))
    return name, t
end

local function dissect_frame(r, pinfo, tree)
    local t = tree:add(sdvr, r)
    local ftype = r(0, 1):uint()
    local length = r(1, 3):le_uint()
    local fi = t:add(f.frame, r)
    fi:set_text("Frame")
    fi:add(f.frame_type, r(0, 1))
    fi:add_le(f.frame_length, r(1, 3))
    if r:len() > 4 then fi:add(f.frame_payload, r(4)) end
    t:append_text(string.format(", frame type %d, %d bytes", ftype, length))
    return string.format("frame type %d (%d bytes)", ftype, length), t
end

-- The next piece of data at the start of buffer ba for a flow: its kind and
-- its total length, or the bytes still needed before that can be told.
local function next_pdu(ba, flow, conv)
    local len = ba:len()
    if len == 0 then return nil end
    if starts_with_magic(ba, 0) then
        if len < 11 then return "command", nil end
        local declared = ba:get_index(8) + 256 * ba:get_index(9)
        if declared - 1 > kMaxPayload then
            -- No reply the library takes in is that long: drop what is
            -- buffered and start again at the next segment.
            return "malformed", len
        end
        return "command", 11 + math.max(declared - 1, 0)
    end
    if flow.from_host and conv.kind == "talk" and flow.opened then
        return "audio", len
    end
    if len < 4 then
        -- Could still turn out to be a command packet or a frame header.
        return "undecided", nil
    end
    if not flow.from_host and flow.opened and conv.kind ~= "command" then
        local ftype = ba:get_index(0)
        local length = ba:get_index(1) + 256 * ba:get_index(2) + 65536 * ba:get_index(3)
        if ftype > 3 or length > kMaxFrame then
            return "malformed", len
        end
        return "frame", 4 + math.max(length, 4)
    end
    return "malformed", len
end

local function flow_of(key, pinfo)
    local conv = conversations[key]
    if conv == nil then return nil end
    local from_host = tostring(pinfo.src) == conv.host_addr and pinfo.src_port == conv.host_port
    local flow = from_host and conv.host_flow or conv.recorder_flow
    return conv, flow
end

-- First pass over one packet's stream bytes (ba, found at offset_in_packet
-- of the packet): appends them to the flow's buffer and cuts every complete
-- piece out. Returns what this packet shows.
--
-- flow.buf_first is the packet in which the buffer's first byte arrived;
-- head is where that byte sits in the current packet, negative while it
-- came in an earlier one. A piece whose head is not negative lies wholly in
-- this packet and is shown on its bytes; any other is shown reassembled.
local function reassemble(ba, frame_no, conv, flow, offset_in_packet)
    local shown = { pieces = {} }
    local head = offset_in_packet - flow.buf:len()
    if flow.buf:len() == 0 then
        flow.buf = ba
        flow.buf_first = frame_no
    else
        flow.buf = flow.buf .. ba
    end
    while true do
        local kind, total = next_pdu(flow.buf, flow, conv)
        if kind == nil then break end
        if total == nil or flow.buf:len() < total then
            -- Incomplete: remember it so that the end of the capture can mark it.
            if flow.pending_id == nil then
                next_pdu_id = next_pdu_id + 1
                flow.pending_id = next_pdu_id
                pending[next_pdu_id] = true
            end
            shown.partial = { id = flow.pending_id, have = flow.buf:len(), kind = kind, total = total }
            break
        end
        local bytes = flow.buf:subset(0, total)
        local piece = { kind = kind, from_host = flow.from_host, first = flow.buf_first }
        if head >= 0 then
            piece.offset = head
            piece.length = total
        else
            piece.bytes = bytes
        end
        if flow.pending_id ~= nil then
            pending[flow.pending_id] = nil
            flow.pending_id = nil
        end
        if kind == "command" then
            local code = bytes:get_index(10)
            if flow.from_host and conv.kind == nil then
                conv.kind = opening_kinds[code] or "command"
            end
            flow.opened = flow.opened or conv.kind ~= "command"
            if not flow.from_host then flow.opened = true end
        end
        shown.pieces[#shown.pieces + 1] = piece
        if flow.buf:len() == total then
            flow.buf = ByteArray.new()
            break
        end
        -- The piece ended in this packet, so what follows it arrived here.
        flow.buf = flow.buf:subset(total, flow.buf:len() - total)
        flow.buf_first = frame_no
        head = head + total
    end
    return shown
end

local function reset_flow(flow)
    if flow.pending_id ~= nil then
        pending[flow.pending_id] = nil
        flow.pending_id = nil
    end
    flow.buf = ByteArray.new()
end

local function new_conversation(pinfo)
    return {
        host_addr = tostring(pinfo.src), host_port = pinfo.src_port, kind = nil,
        host_flow = { from_host = true, buf = ByteArray.new() },
        recorder_flow = { from_host = false, buf = ByteArray.new() },
    }
end

-- First pass for one packet: the results shown for it, kept by frame number.
local function first_pass(tvb, pinfo, transport, key)
    local conv, flow = flow_of(key, pinfo)
    if conv == nil then
        conv = new_conversation(pinfo)
        conversations[key] = conv
        conv, flow = flow_of(key, pinfo)
    end
    local r = { transport = transport }
    local ba = tvb:bytes()
    local start = 0
    if transport == "tcp" then
        local seq = tcp_seq_f()
        seq = seq and seq.value or 0
        if flow.next_seq ~= nil and seq < flow.next_seq then
            r.retransmission = true
            return r
        end
        if flow.next_seq ~= nil and seq > flow.next_seq then
            r.lost = true
            reset_flow(flow)
        end
        flow.next_seq = seq + tvb:len()
    else
        -- A datagram that is not a command packet, from the recorder on an
        -- opened media conversation, starts with its sequence prefix.
        if not starts_with_magic(ba, 0) and not flow.from_host and flow.opened and conv.kind ~= "command" then
            if tvb:len() < 4 then
                r.short_datagram = true
                return r
            end
            local seq = tvb(2, 2):le_uint()
            r.udp_seq = seq
            if flow.last_seq ~= nil then
                local d = math.abs(seq - flow.last_seq)
                if d ~= 1 and d ~= 65535 then
                    r.gap = true
                    reset_flow(flow)
                end
            end
            flow.last_seq = seq
            start = 4
        elseif flow.buf:len() > 0 then
            -- A command packet between media datagrams: a frame in progress
            -- cannot go on across it.
            reset_flow(flow)
        end
    end
    if tvb:len() - start > 0 then
        r.shown = reassemble(ba:subset(start, tvb:len() - start), pinfo.number, conv, flow, start)
    end
    if transport == "udp" and flow.buf:len() > 0 and starts_with_magic(flow.buf, 0) then
        -- A datagram is never continued by the next one as a command packet.
        r.shown.partial = nil
        reset_flow(flow)
    end
    return r
end

local function show(tvb, pinfo, tree, r)
    local infos = {}
    if r.retransmission then
        pinfo.cols.info:set("SDVR retransmitted bytes")
        return
    end
    local root = tree
    if r.lost then
        tree:add_proto_expert_info(ef.lost)
    end
    if r.short_datagram then
        local t = tree:add(sdvr, tvb())
        t:add_proto_expert_info(ef.malformed, "media datagram shorter than its 4-byte prefix")
        infos[#infos + 1] = "short datagram"
    end
    if r.udp_seq ~= nil then
        local t = tree:add(sdvr, tvb(0, 4))
        t:set_text(string.format("SDVR media datagram, sequence %d", r.udp_seq))
        t:add_le(f.udp_seq, tvb(2, 2))
        if r.gap then t:add_proto_expert_info(ef.gap) end
    end
    local shown = r.shown
    if shown ~= nil then
        for _, piece in ipairs(shown.pieces) do
            local range
            if piece.offset ~= nil then
                range = tvb(piece.offset, piece.length)
            else
                range = piece.bytes:tvb("Reassembled SDVR")()
            end
            local info, t
            if piece.kind == "command" then
                info, t = dissect_command(range, pinfo, root, piece.from_host, r.conv)
            elseif piece.kind == "frame" then
                info, t = dissect_frame(range, pinfo, root)
            elseif piece.kind == "audio" then
                t = root:add(sdvr, range)
                t:add(f.audio, range)
                info = string.format("talk audio (%d bytes)", range:len())
            else
                t = root:add(sdvr, range)
                t:add_proto_expert_info(ef.malformed, "not a command packet or a frame header here")
                info = "malformed"
            end
            infos[#infos + 1] = info
            if piece.offset == nil and piece.first ~= pinfo.number then
                t:add(f.reassembled_from, piece.first)
            end
        end
        if shown.partial ~= nil then
            local p = shown.partial
            local t = root:add(sdvr, tvb(0, 0))
            local what = p.kind == "frame" and "frame" or "packet"
            t:set_text(string.format("SDVR %s continues: %d of %s bytes so far", what, p.have,
                p.total and tostring(p.total) or "?"))
            t:add(f.frame_partial, p.have)
            if pending[p.id] and pinfo.visited then
                t:add_proto_expert_info(ef.cut, string.format("%s cut by the end of the capture: %d of %s bytes",
                    what, p.have, p.total and tostring(p.total) or "?"))
                infos[#infos + 1] = what .. " cut by the end of the capture"
            elseif #shown.pieces == 0 then
                infos[#infos + 1] = what .. " continues"
            end
        end
    end
    pinfo.cols.protocol:set("SDVR")
    pinfo.cols.info:set(#infos > 0 and table.concat(infos, "; ") or "SDVR")
end

local function stream_key(transport)
    local s = transport == "tcp" and tcp_stream_f() or udp_stream_f()
    if s == nil then return nil end
    return transport .. ":" .. tostring(s.value)
end

local function dissect(tvb, pinfo, tree, transport)
    local key = stream_key(transport)
    if key == nil then return 0 end
    local r = results[pinfo.number]
    if r == nil then
        r = first_pass(tvb, pinfo, transport, key)
        local conv = conversations[key]
        r.conv = { kind = conv.kind }
        results[pinfo.number] = r
    end
    -- Keep the kind as it stood once the conversation's opening was seen.
    if conversations[key] and conversations[key].kind then
        r.conv.kind = r.conv.kind or conversations[key].kind
    end
    local ok, err = pcall(show, tvb, pinfo, tree, r)
    if not ok then
        local t = tree:add(sdvr, tvb())
        t:add_proto_expert_info(ef.malformed, "undecodable: " .. tostring(err))
    end
    return tvb:len()
end

function sdvr.dissector(tvb, pinfo, tree)
    local transport = tcp_stream_f() ~= nil and "tcp" or "udp"
    return dissect(tvb, pinfo, tree, transport)
end

-- A conversation is claimed by its first data starting with "SDVR"; the rest
-- of a command packet may follow in later segments.
local function heuristic(transport)
    return function(tvb, pinfo, tree)
        if tvb:len() < 4 or tvb(0, 4):string() ~= "SDVR" then
            return false
        end
        pinfo.conversation = sdvr
        dissect(tvb, pinfo, tree, transport)
        return true
    end
end

sdvr:register_heuristic("tcp", heuristic("tcp"))
sdvr:register_heuristic("udp", heuristic("udp"))
