-- Wireshark dissector for the Tessel tunnel protocol (transmitter and receiver, both directions).
--
--   tshark -X lua_script:tools/wireshark/tessel.lua -o tessel.ports:6000-6003 -r capture.pcap -V
--
-- or copy it into ~/.local/lib/wireshark/plugins/. The tunnel is recognised on the UDP ports of
-- the preference "tessel.ports" (the receiver's port range) and through "Decode As". Clear
-- slices hand their TS packets to the MPEG-TS dissector.

local tessel = Proto("tessel", "Tessel Tunnel Protocol")

local MAGIC = "H!G "

local T = {
  DATA = 0x00, DATA_RESENT = 0x01, PING_REPLY = 0x02, FEC = 0x03,
  REQUEST = 0x10, PING = 0x11,
  INFO_REQUEST = 0x20, INFO_REPLY = 0x21, AES_REQUEST = 0x22, AES_REPLY = 0x23, AES_REPLY_256 = 0x25,
}

local type_names = {
  [T.DATA] = "Data", [T.DATA_RESENT] = "Data (resent)", [T.PING_REPLY] = "Ping reply",
  [T.FEC] = "FEC parity", [T.REQUEST] = "Retransmission request", [T.PING] = "Ping",
  [T.INFO_REQUEST] = "Info request", [T.INFO_REPLY] = "Info reply", [T.AES_REQUEST] = "Key request",
  [T.AES_REPLY] = "Key reply (AES-128)", [T.AES_REPLY_256] = "Key reply (AES-256)",
}

local directions = {
  [T.DATA] = "Transmitter to receiver", [T.DATA_RESENT] = "Transmitter to receiver",
  [T.PING_REPLY] = "Transmitter to receiver", [T.FEC] = "Transmitter to receiver",
  [T.REQUEST] = "Receiver to transmitter", [T.PING] = "Receiver to transmitter",
  [T.INFO_REQUEST] = "Either way", [T.INFO_REPLY] = "Either way",
  [T.AES_REQUEST] = "Receiver to transmitter", [T.AES_REPLY] = "Transmitter to receiver",
  [T.AES_REPLY_256] = "Transmitter to receiver",
}

local tlv_names = { [1] = "Node number", [2] = "Cluster name", [3] = "Endpoint number", [4] = "Description" }

local TS = 188
local SLICE_HEAD = 25 -- seq, time, flags byte
local SLICE_TAIL = 3 -- filler behind the TS packets

local f = {
  magic = ProtoField.string("tessel.magic", "Magic"),
  version = ProtoField.uint8("tessel.version", "Version"),
  type = ProtoField.uint8("tessel.type", "Type", base.HEX, type_names, 0x3F),
  fec = ProtoField.bool("tessel.fec_flag", "FEC flag", 8, nil, 0x40),
  reserved = ProtoField.bool("tessel.reserved", "Reserved", 8, nil, 0x80),
  size = ProtoField.uint8("tessel.size", "Size"),
  id = ProtoField.uint8("tessel.id", "Id"),
  body_length = ProtoField.uint16("tessel.body_length", "Body length"),
  direction = ProtoField.string("tessel.direction", "Direction"),
  departure = ProtoField.relative_time("tessel.departure_time", "Departure time"),

  fec_position = ProtoField.uint64("tessel.fec.position", "FEC position"),
  fec_group = ProtoField.uint32("tessel.fec.group_length", "FEC group length"),
  fec_first = ProtoField.uint64("tessel.fec.first", "First covered position"),
  fec_last = ProtoField.uint64("tessel.fec.last", "Last covered position"),
  parity = ProtoField.bytes("tessel.fec.parity", "Parity of the slice images"),

  slice = ProtoField.none("tessel.slice", "Slice"),
  slice_seq = ProtoField.uint64("tessel.slice.seq", "Sequence"),
  slice_time = ProtoField.relative_time("tessel.slice.time", "Arrival time"),
  slice_size = ProtoField.uint8("tessel.slice.size", "TS packets", base.DEC, nil, 0x7F),
  slice_encrypted = ProtoField.bool("tessel.slice.encrypted", "Encrypted", 8, nil, 0x80),
  slice_ts = ProtoField.bytes("tessel.slice.ts_encrypted", "Encrypted TS packets"),
  slice_filler = ProtoField.bytes("tessel.slice.filler", "Filler"),

  ping_seq = ProtoField.uint64("tessel.ping.seq", "Ping number"),
  ping_src = ProtoField.relative_time("tessel.ping.src_time", "Echoed departure time"),

  request_count = ProtoField.uint8("tessel.request.count", "Count"),
  request_id = ProtoField.uint8("tessel.request.id", "Request id"),
  request_seq = ProtoField.uint64("tessel.request.seq", "Requested slice"),

  tlv = ProtoField.none("tessel.tlv", "TLV"),
  tlv_type = ProtoField.uint8("tessel.tlv.type", "TLV type", base.DEC, tlv_names),
  tlv_length = ProtoField.uint8("tessel.tlv.length", "TLV length"),
  tlv_value = ProtoField.bytes("tessel.tlv.value", "TLV value"),
  node_no = ProtoField.uint8("tessel.info.node_no", "Node number"),
  endpoint_no = ProtoField.uint8("tessel.info.endpoint_no", "Endpoint number"),
  cluster_name = ProtoField.string("tessel.info.cluster_name", "Cluster name"),
  description = ProtoField.string("tessel.info.description", "Description"),

  public_key = ProtoField.bytes("tessel.aes.public_key", "RSA public key (PKCS#1 DER)"),
  rsa_bits = ProtoField.uint32("tessel.aes.rsa_bits", "RSA modulus bits"),
  aes_bits = ProtoField.uint16("tessel.aes.bits", "AES key bits"),
  iv = ProtoField.bytes("tessel.aes.iv", "IV"),
  encrypted_key = ProtoField.bytes("tessel.aes.encrypted_key", "Encrypted transmission key"),
}
local field_list = {}
for _, v in pairs(f) do
  field_list[#field_list + 1] = v
end
tessel.fields = field_list

local e_short = ProtoExpert.new("tessel.short", "Datagram shorter than its layout", expert.group.MALFORMED,
  expert.severity.ERROR)
local e_reserved = ProtoExpert.new("tessel.reserved_set", "Reserved bit set", expert.group.PROTOCOL,
  expert.severity.WARN)
local e_unknown = ProtoExpert.new("tessel.unknown_type", "Unknown packet type", expert.group.UNDECODED,
  expert.severity.WARN)
local e_truncated_request = ProtoExpert.new("tessel.request.truncated",
  "Fewer sequence numbers than the count", expert.group.MALFORMED, expert.severity.WARN)
tessel.experts = { e_short, e_reserved, e_unknown, e_truncated_request }

tessel.prefs.ports = Pref.range("UDP ports", "6000-6015",
  "UDP ports of the tunnel (the receiver's port range); packets to and from them are decoded", 65535)

local mp2t = Dissector.get("mp2t")

-- A 16-byte little-endian timespec64 (seconds, nanoseconds) as a relative time.
local function add_time(tree, field, tvb, off)
  local r = tvb(off, 16)
  local sec = tvb(off, 8):le_int64():tonumber()
  local nsec = tvb(off + 8, 8):le_int64():tonumber()
  return tree:add(field, r, NSTime.new(sec, nsec))
end

local function short(tree, tvb, need)
  if tvb:len() < need then
    tree:add_proto_expert_info(e_short, string.format("%d bytes, at least %d needed", tvb:len(), need))
    return true
  end
  return false
end

-- FEC group length per direction of a conversation, learnt from the spacing of parity packets:
-- a parity packet closes a group of data packets, so consecutive parity positions differ by it.
-- Ports rotate over the range, so addresses alone name the direction.
local last_parity = {}
local parity_group = {}

local function dissect_slice(tvb, pinfo, tree, off, info)
  local flags = tvb(off + 24, 1):uint()
  local n = bit.band(flags, 0x7F)
  local encrypted = bit.band(flags, 0x80) ~= 0
  local seq = tvb(off, 8):le_uint64()
  local st = tree:add(f.slice, tvb(off))
  st:set_text(string.format("Slice %s, %d TS packet%s, %s", tostring(seq), n, n == 1 and "" or "s",
    encrypted and "encrypted" or "clear"))
  st:add_le(f.slice_seq, tvb(off, 8))
  add_time(st, f.slice_time, tvb, off + 8)
  st:add(f.slice_size, tvb(off + 24, 1))
  st:add(f.slice_encrypted, tvb(off + 24, 1))
  local ts_off = off + SLICE_HEAD
  local need = ts_off + TS * n + SLICE_TAIL
  if short(st, tvb, need) then
    return
  end
  if encrypted then
    if n > 0 then
      st:add(f.slice_ts, tvb(ts_off, TS * n))
    end
  else
    for k = 0, n - 1 do
      mp2t:call(tvb(ts_off + TS * k, TS):tvb(), pinfo, st)
    end
  end
  st:add(f.slice_filler, tvb(ts_off + TS * n, SLICE_TAIL))
  info[#info + 1] = string.format("seq=%s n=%d %s", tostring(seq), n, encrypted and "encrypted" or "clear")
end

local function dissect_data(tvb, pinfo, tree, fec_layout, info)
  local off = 8
  if short(tree, tvb, off + 16) then
    return
  end
  add_time(tree, f.departure, tvb, off)
  off = off + 16
  if fec_layout then
    if short(tree, tvb, off + 8) then
      return
    end
    tree:add_le(f.fec_position, tvb(off, 8))
    info[#info + 1] = "pos=" .. tostring(tvb(off, 8):le_uint64())
    off = off + 8
  end
  if short(tree, tvb, off + SLICE_HEAD + SLICE_TAIL) then
    return
  end
  dissect_slice(tvb, pinfo, tree, off, info)
end

local function dissect_parity(tvb, pinfo, tree, info)
  local n = tvb(6, 1):uint()
  if short(tree, tvb, 60 + TS * n) then
    return
  end
  add_time(tree, f.departure, tvb, 8)
  local position = tvb(24, 8):le_uint64()
  tree:add_le(f.fec_position, tvb(24, 8))
  local key = tostring(pinfo.src) .. ">" .. tostring(pinfo.dst)
  if not pinfo.visited then
    local last = last_parity[key]
    if last ~= nil and position > last then
      parity_group[pinfo.number] = (position - last):tonumber()
    end
    last_parity[key] = position
  end
  local group = parity_group[pinfo.number]
  if group ~= nil then
    tree:add(f.fec_group, group):set_generated()
    if group >= 2 then
      tree:add(f.fec_first, position - (group - 1)):set_generated()
      tree:add(f.fec_last, position - 1):set_generated()
      info[#info + 1] = string.format("pos=%s covers %s-%s", tostring(position),
        tostring(position - (group - 1)), tostring(position - 1))
    end
  else
    info[#info + 1] = "pos=" .. tostring(position)
  end
  tree:add(f.parity, tvb(32, 28 + TS * n))
  info[#info + 1] = string.format("n=%d", n)
end

local function dissect_ping(tvb, tree, info)
  if short(tree, tvb, 48) then
    return
  end
  tree:add_le(f.ping_seq, tvb(8, 8))
  add_time(tree, f.departure, tvb, 16)
  add_time(tree, f.ping_src, tvb, 32)
  info[#info + 1] = "seq=" .. tostring(tvb(8, 8):le_uint64())
end

local function dissect_request(tvb, tree, fec_flag, info)
  local count = tvb(6, 1):uint()
  tree:add(f.request_count, tvb(6, 1))
  if fec_flag then
    tree:add(f.request_id, tvb(7, 1))
    info[#info + 1] = string.format("id=%d", tvb(7, 1):uint())
  end
  local held = math.floor((tvb:len() - 8) / 8)
  if held < count then
    tree:add_proto_expert_info(e_truncated_request, string.format("%d listed, %d present", count, held))
  end
  local seqs = {}
  for k = 0, math.min(count, held) - 1 do
    tree:add_le(f.request_seq, tvb(8 + 8 * k, 8))
    seqs[#seqs + 1] = tostring(tvb(8 + 8 * k, 8):le_uint64())
  end
  if #seqs > 0 then
    info[#info + 1] = "seqs=" .. table.concat(seqs, ",")
  end
end

local function body_length(tvb, tree)
  local len = tvb(6, 1):uint() + 256 * tvb(7, 1):uint()
  tree:add(f.body_length, tvb(6, 2), len)
  return len
end

local function dissect_info(tvb, tree, info)
  local stop = math.min(8 + body_length(tvb, tree), tvb:len())
  local off = 8
  local parts = {}
  while off + 2 <= stop do
    local t = tvb(off, 1):uint()
    local len = tvb(off + 1, 1):uint()
    local avail = math.min(len, stop - off - 2)
    local item = tree:add(f.tlv, tvb(off, 2 + avail))
    item:set_text(string.format("TLV: %s", tlv_names[t] or ("type " .. t)))
    item:add(f.tlv_type, tvb(off, 1))
    item:add(f.tlv_length, tvb(off + 1, 1))
    if avail < len then
      item:add_proto_expert_info(e_short, string.format("value of %d bytes, %d present", len, avail))
    end
    if avail > 0 then
      local v = tvb(off + 2, avail)
      if t == 1 then
        item:add(f.node_no, tvb(off + 2, 1))
        parts[#parts + 1] = "HA" .. tvb(off + 2, 1):uint()
      elseif t == 3 then
        item:add(f.endpoint_no, tvb(off + 2, 1))
        parts[#parts + 1] = "rx" .. tvb(off + 2, 1):uint()
      elseif t == 2 then
        item:add(f.cluster_name, v)
        parts[#parts + 1] = v:string()
      elseif t == 4 then
        item:add(f.description, v)
        parts[#parts + 1] = v:string()
      else
        item:add(f.tlv_value, v)
      end
    end
    off = off + 2 + len
  end
  if #parts > 0 then
    info[#info + 1] = table.concat(parts, " ")
  end
end

-- Length of a DER element's content at `off`: (content offset, content length) or nil.
local function der_length(tvb, off, stop)
  if off + 1 >= stop then
    return nil
  end
  local b = tvb(off + 1, 1):uint()
  if b < 0x80 then
    return off + 2, b
  end
  local n = b - 0x80
  if n < 1 or n > 3 or off + 2 + n > stop then
    return nil
  end
  local len = 0
  for k = 0, n - 1 do
    len = len * 256 + tvb(off + 2 + k, 1):uint()
  end
  return off + 2 + n, len
end

-- Bits of the modulus of an RSAPublicKey: SEQUENCE { INTEGER modulus, INTEGER exponent }.
local function rsa_modulus_bits(tvb, off, stop)
  if off >= stop or tvb(off, 1):uint() ~= 0x30 then
    return nil
  end
  local inner = der_length(tvb, off, stop)
  if inner == nil or inner >= stop or tvb(inner, 1):uint() ~= 0x02 then
    return nil
  end
  local m, mlen = der_length(tvb, inner, stop)
  if m == nil or mlen == 0 or m + mlen > stop then
    return nil
  end
  while mlen > 0 and tvb(m, 1):uint() == 0 do
    m = m + 1
    mlen = mlen - 1
  end
  if mlen == 0 then
    return 0
  end
  local top = tvb(m, 1):uint()
  local bits = 0
  while top > 0 do
    bits = bits + 1
    top = math.floor(top / 2)
  end
  return (mlen - 1) * 8 + bits
end

local function dissect_key_request(tvb, tree, info)
  local len = body_length(tvb, tree)
  local stop = math.min(8 + len, tvb:len())
  short(tree, tvb, 8 + len)
  if stop <= 8 then
    return
  end
  tree:add(f.public_key, tvb(8, stop - 8))
  local bits = rsa_modulus_bits(tvb, 8, stop)
  if bits ~= nil then
    tree:add(f.rsa_bits, bits):set_generated()
    info[#info + 1] = string.format("RSA-%d", bits)
  end
end

local function dissect_key_reply(tvb, tree, iv_len, info)
  local len = body_length(tvb, tree)
  if short(tree, tvb, 8 + len) or len < iv_len then
    return
  end
  tree:add(f.aes_bits, iv_len == 16 and 128 or 256):set_generated()
  tree:add(f.iv, tvb(8, iv_len))
  if len > iv_len then
    tree:add(f.encrypted_key, tvb(8 + iv_len, len - iv_len))
    tree:add(f.rsa_bits, (len - iv_len) * 8):set_generated()
  end
  info[#info + 1] = string.format("AES-%d, RSA-%d", iv_len == 16 and 128 or 256, (len - iv_len) * 8)
end

function tessel.dissector(tvb, pinfo, tree)
  if tvb:len() < 8 or tvb(0, 4):string() ~= MAGIC then
    return 0
  end
  local byte5 = tvb(5, 1):uint()
  local ptype = bit.band(byte5, 0x3F)
  local fec_flag = bit.band(byte5, 0x40) ~= 0
  local version = tvb(4, 1):uint()

  local root = tree:add(tessel, tvb())
  local head = root:add(tvb(0, 8), "Header")
  head:add(f.magic, tvb(0, 4))
  head:add(f.version, tvb(4, 1))
  head:add(f.type, tvb(5, 1))
  head:add(f.fec, tvb(5, 1))
  local reserved = head:add(f.reserved, tvb(5, 1))
  if bit.band(byte5, 0x80) ~= 0 then
    reserved:add_proto_expert_info(e_reserved)
  end
  head:add(f.size, tvb(6, 1))
  head:add(f.id, tvb(7, 1))
  root:add(f.direction, directions[ptype] or "Unknown"):set_generated()

  local name = type_names[ptype]
  local info = { name or string.format("Unknown type 0x%02x", ptype) }
  if ptype == T.DATA or ptype == T.DATA_RESENT then
    dissect_data(tvb, pinfo, root, fec_flag, info)
  elseif ptype == T.FEC then
    dissect_parity(tvb, pinfo, root, info)
  elseif ptype == T.PING or ptype == T.PING_REPLY then
    dissect_ping(tvb, root, info)
  elseif ptype == T.REQUEST then
    dissect_request(tvb, root, fec_flag, info)
  elseif ptype == T.INFO_REQUEST or ptype == T.INFO_REPLY then
    dissect_info(tvb, root, info)
  elseif ptype == T.AES_REQUEST then
    dissect_key_request(tvb, root, info)
  elseif ptype == T.AES_REPLY then
    dissect_key_reply(tvb, root, 16, info)
  elseif ptype == T.AES_REPLY_256 then
    dissect_key_reply(tvb, root, 32, info)
  else
    root:add_proto_expert_info(e_unknown, string.format("type 0x%02x", ptype))
  end
  root:append_text(string.format(", v%d, %s", version, info[1]))

  -- The TS dissector writes its own columns; the tunnel's go on top.
  pinfo.cols.protocol = "Tessel"
  pinfo.cols.info = table.concat(info, " ")
  return tvb:len()
end

function tessel.init()
  last_parity = {}
  parity_group = {}
end

local udp_port = DissectorTable.get("udp.port")
local registered_ports = nil

local function register_ports()
  if registered_ports ~= nil and registered_ports ~= "" then
    udp_port:remove(registered_ports, tessel)
  end
  registered_ports = tessel.prefs.ports
  if registered_ports ~= nil and registered_ports ~= "" then
    udp_port:add(registered_ports, tessel)
  end
end

function tessel.prefs_changed()
  if registered_ports ~= tessel.prefs.ports then
    register_ports()
  end
end

register_ports()
udp_port:add_for_decode_as(tessel)
