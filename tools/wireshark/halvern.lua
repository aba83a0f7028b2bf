-- Wireshark dissector for RX5120 trace packets.
--
-- `halvern-trace -w FILE.pcap TRACEFILE` writes the records of a tracer run as a pcap file
-- of link type 147 (DLT_USER0), one trace packet per frame. This dissector shows each
-- packet's kind, tasks, message id and name, length and data.
--
-- Packet layout (seven header bytes, then the data):
--   first packet of a message:   "L" "G" dst src mid dst  len        data[len]
--   second packet (cut out of the first one's data):
--                                 same !same dst src mid task len*4 data
--   where `same` is 1 when flag bits 0 and 2 of the traced message are equal, and `task` is
--   src when flag bit 2 is set, else dst.
--
-- Message names: the built-in table below, replaced by a message-ID name file ("NAME, id"
-- per line) when one exists: the file named in the protocol's preferences, else the one
-- HALVERN_MID_FILE names, else the tool's own name file.
--
-- Install: copy this file into Wireshark's Lua plugins folder (Help > About > Folders), or
-- run `tshark -X lua_script:halvern.lua -r FILE.pcap`.

local halvern = Proto("halvern", "RX5120 DECT trace packet")

-- Message names by id, ids 0 to 132 in order.
local builtin_names = {
  "MID_DEBUG_OUT", "MID_COM_EVENT", "MID_KEYSTROKE", "MID_TIMER_ALERT",
  "MID_IWU_LLME_SCAN", "MID_IWU_LLME_FOUND_ID", "MID_IWU_LLME_LOCK", "MID_IWU_LLME_LOCKED_ID",
  "MID_IWU_LLME_UNLOCKED", "MID_IWU_LLME_U_CON_TONE", "MID_IWU_LLME_U_CON_EXT", "MID_IWU_LLME_U_CON_INT",
  "MID_IWU_LLME_U_CONFERENCE", "MID_IWU_LLME_TUNE_CRYSTAL", "MID_IWU_LLME_TUNE_MODU", "MID_IWU_LLME_TESTMODE",
  "MID_IWU_LLME_BASE_ASSOCIATED", "MID_NWK_LLME_START", "MID_NWK_LLME_ENC_KEY_REQ", "MID_NWK_LLME_ENC_EKS_REQ",
  "MID_MAC_LLME_ENC_EKS_IND", "MID_NWK_LLME_PAGE_REQ", "MID_MAC_LLME_PAGE_IND", "MID_MAC_LLME_RPN_CHANGED",
  "MID_MAC_LLME_SCANNING_CARRIER", "MID_MAC_PM_INFO", "MID_TBC_BEARER_RELEASE_IND", "MID_TBC_BEARER_ESTABLISHED_IND",
  "MID_TBC_ENCRYPT_IND", "MID_TBC_DBC_REQ", "MID_TBC_DBC_IND", "MID_TBC_HO_BEARER_ESTABLISHED_IND",
  "MID_TBC_HO_REQUEST", "MID_TBC_HO_DECISION_REQ", "MID_TBC_TESTMESSAGE", "MID_TBC_START_RSSI_SCAN",
  "MID_TBC_INIT_SMART_OPTILOCK", "MID_TBC_SCANDATA", "MID_TBC_OPTILOCK", "MID_TBC_SCANDATA_DUMMY",
  "MID_TBC_FASTSYNC_DATA", "MID_MAC_CON_REQ", "MID_MAC_CON_IND", "MID_MAC_CON_CFM",
  "MID_MAC_CO_DTR_IND", "MID_MAC_CO_DATA_REQ", "MID_MAC_CO_DATA_IND", "MID_MAC_DIS_REQ",
  "MID_MAC_DIS_IND", "MID_DLC_ESTABLISH_REQ", "MID_DLC_ESTABLISH_IND", "MID_DLC_ESTABLISH_CFM",
  "MID_DLC_RELEASE_REQ", "MID_DLC_RELEASE_IND", "MID_DLC_RELEASE_CFM", "MID_DLC_DATA_REQ",
  "MID_DLC_DATA_IND", "MID_DB_GET_DATA_REQ", "MID_DB_PUT_DATA_REQ", "MID_DB_DATA_ACK",
  "MID_DB_DATA_REJ", "MID_IWU_START", "MID_IWU_INFO", "MID_IWU_APP_INFO",
  "MID_IWU_MM_ADD_PP", "MID_IWU_MM_ADD_PP_SUC", "MID_IWU_MM_ADD_PP_ACK", "MID_IWU_MM_DEL_PP",
  "MID_IWU_MM_DEL_PP_ACK", "MID_IWU_MM_ADD_FP", "MID_IWU_MM_ADD_FP_ACK", "MID_IWU_MM_DEL_FP",
  "MID_IWU_MM_STD_FP", "MID_IWU_MM_STD_FP_ACK", "MID_IWU_MM_ACCESS", "MID_IWU_MM_LOCATE",
  "MID_IWU_MM_LOCATE_ACK", "MID_IWU_MM_DBSYNC", "MID_IWU_MM_USER_AUTH", "MID_IWU_MM_USER_AUTH_ACK",
  "MID_IWU_CC_PAGE", "MID_IWU_CC_PAGE_ACK", "MID_IWU_CC_DLESTABLISH", "MID_IWU_CC_SETUP",
  "MID_IWU_CC_PROGRESS", "MID_IWU_CC_CONNECT", "MID_IWU_CC_CONNECT_ACK", "MID_IWU_CC_RELEASE",
  "MID_IWU_CC_RELEASE_COM", "MID_IWU_CC_ALERT", "MID_IWU_CC_LOCKED_ID", "MID_IWU_CC_GR_ALERT",
  "MID_IWU_CC_GR_ALERT_STOP", "MID_IWU_LLME_UNLOCKED_ID", "MID_IWU_LLME_AUTOLOAD_IND", "MID_IWU_LLME_AUTOLOAD_REJ",
  "MID_IWU_LLME_CRFP_START", "MID_IWU_LLME_U_CON_REP", "MID_MAC_LLME_PT_RELAY_REQ", "MID_LLME_QUALITY_IND",
  "MID_LLME_RELAY_CON_ACTIVE", "MID_LLME_FRAME_TRACE", "MID_LLME_SLOT_RSSISCAN_COMPLETED", "MID_LLME_INFO",
  "MID_LLME_BATTERY_INFO", "MID_DRV_AUDIO_INFO", "MID_DRV_AUDIO_COMPLETION", "MID_LLME_CHARGE_INFO",
  "MID_IWU_LLME_U_DATA", "MID_IWU_LLME_U_DATA_DTR", "MID_IWU_LLME_U_DATA_REL", "MID_DLU_U_DATA_REQ",
  "MID_DLU_U_DATA_CFM", "MID_DLU_U_DATA_IND", "MID_DLU_U_DATA_RSP", "MID_MAC_U_DATA_IND",
  "MID_MAC_U_DATA_CFM", "MID_MAC_U_DATA_DTR", "MID_DRV_DTMF_IND", "MID_IWU_CALL_INFO",
  "MID_FXS_OFFHOOK", "MID_FXS_ONHOOK", "MID_FXS_FLASH", "MID_FXS_RINGING",
  "MID_FXS_CLIP_INFO", "MID_IWU_LLME_AUDIO_AVAILABLE", "MID_IWU_CC_OVERLAP_DIALING", "MID_DRV_AUDIO_CPD_EVENT",
  "MID_DRV_AUDIO_BUSY_TONE_DETECTED", "MID_IWU_LINK_ESTABLISH", "MID_IWU_LINK_RELEASE", "MID_IWU_LINK_ACCEPT",
  "MID_IWU_LLME_SUBCRIPTION_RESET",
}

local default_mid_file = package.config:sub(1, 1) == "\\" and "C:\\rx4000\\logger.txt" or "/etc/rx4000/logger.txt"

halvern.prefs.mid_file = Pref.string("Message-ID name file", "",
  "Lines \"NAME, id\". Empty: HALVERN_MID_FILE, else " .. default_mid_file .. "; the built-in names when no file exists.")

local f = halvern.fields
f.kind = ProtoField.string("halvern.kind", "Packet kind")
f.same = ProtoField.uint8("halvern.same_flags", "Flag bits 0 and 2 equal", base.DEC)
f.dst = ProtoField.uint8("halvern.dst", "Destination task", base.DEC)
f.src = ProtoField.uint8("halvern.src", "Source task", base.DEC)
f.mid = ProtoField.uint8("halvern.mid", "Message id", base.DEC)
f.mid_name = ProtoField.string("halvern.mid_name", "Message name")
f.task = ProtoField.uint8("halvern.task", "Task", base.DEC)
f.length_byte = ProtoField.uint8("halvern.length_byte", "Length byte", base.HEX)
f.len = ProtoField.uint16("halvern.len", "Data length", base.DEC)
f.data = ProtoField.bytes("halvern.data", "Data", base.SPACE)

local ef_short = ProtoExpert.new("halvern.short", "Packet shorter than its 7-byte header", expert.group.MALFORMED,
  expert.severity.ERROR)
local ef_kind = ProtoExpert.new("halvern.kind_unknown", "Unknown packet kind", expert.group.MALFORMED,
  expert.severity.ERROR)
local ef_length = ProtoExpert.new("halvern.length_mismatch", "Length byte does not match the data",
  expert.group.MALFORMED, expert.severity.WARN)
halvern.experts = { ef_short, ef_kind, ef_length }

-- The names in use: id -> name.
local names = {}

-- One line of a name file: a name of up to 127 characters without comma, blank or tab,
-- optional white space, one or more commas, optional white space, a decimal id.
local function parse_name_line(line)
  local name, id = line:match("^([^, \t]+)%s*,+%s*([+-]?%d+)")
  if not name or #name > 127 then return nil end
  id = tonumber(id)
  if not id or id > 2147483647 or id < -2147483648 then return nil end
  return name, id
end

local function load_names()
  names = {}
  local path = halvern.prefs.mid_file
  if path == nil or path == "" then path = os.getenv("HALVERN_MID_FILE") end
  if path == nil or path == "" then path = default_mid_file end
  local file = io.open(path, "rb")
  if file then
    for line in file:lines() do
      line = line:gsub("\r$", "")
      local name, id = parse_name_line(line)
      if name and names[id] == nil then names[id] = name end  -- the first entry of an id wins
    end
    file:close()
    return
  end
  for i, name in ipairs(builtin_names) do names[i - 1] = name end
end

function halvern.init() load_names() end
function halvern.prefs_changed() load_names() end

function halvern.dissector(tvb, pinfo, tree)
  local n = tvb:len()
  pinfo.cols.protocol = "RX5120"
  local item = tree:add(halvern, tvb(), "RX5120 DECT trace packet")
  if n < 7 then
    item:add_proto_expert_info(ef_short)
    pinfo.cols.info = "Malformed trace packet"
    return n
  end
  local b0, b1 = tvb(0, 1):uint(), tvb(1, 1):uint()
  local first = b0 == 0x4C and b1 == 0x47
  local second = (b0 == 1 and b1 == 0) or (b0 == 0 and b1 == 1)
  local kind = first and "first" or (second and "second" or "unknown")
  local len = n - 7
  local mid = tvb(4, 1):uint()
  local name = names[mid] or "Unknown"

  local kind_item = item:add(f.kind, tvb(0, 2), kind)
  if second then
    item:add(f.same, tvb(0, 1))
  elseif not first then
    kind_item:add_proto_expert_info(ef_kind)
  end
  item:add(f.dst, tvb(2, 1))
  item:add(f.src, tvb(3, 1))
  item:add(f.mid, tvb(4, 1))
  item:add(f.mid_name, tvb(4, 1), name)
  item:add(f.task, tvb(5, 1))
  local length_item = item:add(f.length_byte, tvb(6, 1))
  local expected = first and (len % 256) or ((len * 4) % 256)
  if (first or second) and tvb(6, 1):uint() ~= expected then length_item:add_proto_expert_info(ef_length) end
  item:add(f.len, tvb(6, 1), len):set_generated()
  if len > 0 then item:add(f.data, tvb(7, len)) end

  item:append_text(string.format(", %s, %d -> %d, %s (%d), %d bytes", kind, tvb(3, 1):uint(), tvb(2, 1):uint(),
    name, mid, len))
  pinfo.cols.src = tostring(tvb(3, 1):uint())
  pinfo.cols.dst = tostring(tvb(2, 1):uint())
  pinfo.cols.info = string.format("%s %s (%d) len=%d", kind, name, mid, len)
  return n
end

load_names()
DissectorTable.get("wtap_encap"):add((wtap_encaps or wtap).USER0, halvern)
