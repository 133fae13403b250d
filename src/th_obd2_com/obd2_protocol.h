// OBD-II on CAN: the values of SAE J1979 services, ISO 15765-2 transport and
// ISO 15765-4 identifiers, shared by the gateway and the vehicle simulator.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Services (SAE J1979).
constexpr uint8_t OBD2_SID_CURRENT_DATA = 0x01;
constexpr uint8_t OBD2_SID_FREEZE_FRAME = 0x02;
constexpr uint8_t OBD2_SID_STORED_DTC = 0x03;
constexpr uint8_t OBD2_SID_CLEAR_DTC = 0x04;
constexpr uint8_t OBD2_SID_PENDING_DTC = 0x07;
constexpr uint8_t OBD2_SID_VEHICLE_INFO = 0x09;
constexpr uint8_t OBD2_SID_PERMANENT_DTC = 0x0A;

// A positive answer carries the service + 0x40; a negative one carries 0x7F,
// the service refused and a response code.
constexpr uint8_t OBD2_POSITIVE_OFFSET = 0x40;
constexpr uint8_t OBD2_NEGATIVE_RESPONSE = 0x7F;
constexpr uint8_t OBD2_NRC_SERVICE_NOT_SUPPORTED = 0x11;
constexpr uint8_t OBD2_NRC_SUB_FUNCTION_NOT_SUPPORTED = 0x12;
constexpr uint8_t OBD2_NRC_BUSY = 0x78; // request received, answer pending

constexpr uint8_t obd2_positive_sid(uint8_t service)
{
    return static_cast<uint8_t>(service + OBD2_POSITIVE_OFFSET);
}

// PIDs 00, 20, 40, ... answer a bitmask of the next 32 PIDs (A bit 7 = the
// PID after the base); the last bit announces the next range. Services 01 and 02 alike.
constexpr uint8_t OBD2_PID_RANGE = 0x20;
// Service 01: monitor status since the codes were cleared, and this drive cycle.
constexpr uint8_t OBD2_PID_MONITOR_STATUS = 0x01;
constexpr uint8_t OBD2_PID_MONITOR_CYCLE = 0x41;
// Service 02: the code that stored the freeze frame (0000 = no frame stored).
constexpr uint8_t OBD2_PID_FREEZE_DTC = 0x02;
constexpr uint8_t OBD2_FREEZE_FRAME_0 = 0x00;

// PID 01 / 41 data bytes A-D. A: MIL and the confirmed-code count (PID 01
// only). B: bit n (0-2) a continuous monitor supported, bit n+4 it is
// incomplete, bit 3 compression ignition. C: a non-continuous monitor
// supported, D: incomplete, one bit each (their meaning depends on the ignition).
constexpr uint8_t OBD2_MON_MIL_ON = 0x80;
constexpr uint8_t OBD2_MON_DTC_COUNT_MASK = 0x7F;
constexpr uint8_t OBD2_MON_COMPRESSION = 0x08;
constexpr int OBD2_MON_CONTINUOUS_INCOMPLETE_SHIFT = 4;

struct Obd2Monitor {
    const char *key; // packet key and vehicle-file name
    bool continuous; // bit in B, else in C and D
    uint8_t bit;
    const char *name; // for people (obd-gateway-cli)
};

// The three continuous monitors, then the non-continuous ones defined for the
// ignition type, in bit order (compression ignition leaves C bits 2 and 4 reserved).
inline constexpr std::array<Obd2Monitor, 11> OBD2_MONITORS_SPARK = {{
    {"MISF", true, 0, "misfire"},
    {"FUEL", true, 1, "fuel system"},
    {"CCM", true, 2, "comprehensive components"},
    {"CAT", false, 0, "catalyst"},
    {"HCAT", false, 1, "heated catalyst"},
    {"EVAP", false, 2, "evaporative system"},
    {"SAIR", false, 3, "secondary air system"},
    {"ACRF", false, 4, "A/C refrigerant"},
    {"O2S", false, 5, "oxygen sensor"},
    {"O2SH", false, 6, "oxygen sensor heater"},
    {"EGR", false, 7, "EGR and/or VVT system"},
}};
inline constexpr std::array<Obd2Monitor, 9> OBD2_MONITORS_COMPRESSION = {{
    {"MISF", true, 0, "misfire"},
    {"FUEL", true, 1, "fuel system"},
    {"CCM", true, 2, "comprehensive components"},
    {"NMHC", false, 0, "NMHC catalyst"},
    {"NOX", false, 1, "NOx aftertreatment / SCR"},
    {"BOOST", false, 3, "boost pressure"},
    {"EGS", false, 5, "exhaust gas sensor"},
    {"PM", false, 6, "particulate filter"},
    {"EGR", false, 7, "EGR and/or VVT system"},
}};

// Service 09 InfoTypes the gateway reads.
constexpr uint8_t OBD2_INFOTYPE_VIN = 0x02;
constexpr uint8_t OBD2_INFOTYPE_CALID = 0x04;
constexpr uint8_t OBD2_INFOTYPE_CVN = 0x06;
constexpr uint8_t OBD2_INFOTYPE_ECU_NAME = 0x0A;

// OBD on UDS (ISO 14229 services carrying the same OBD data). Service 01
// PIDs are the data identifiers F4xx, service 09 InfoTypes F8xx.
constexpr uint8_t UDS_SID_READ_DID = 0x22;
constexpr uint8_t UDS_SID_READ_DTC = 0x19;
constexpr uint8_t UDS_SID_CLEAR_DTC = 0x14;
constexpr uint8_t UDS_DID_PID_HIGH = 0xF4;
constexpr uint8_t UDS_DID_INFOTYPE_HIGH = 0xF8;
// Read-DTC sub-functions: codes by status mask within a group (with
// severity), the permanent codes of a group, the codes that have a snapshot,
// and one snapshot.
constexpr uint8_t UDS_DTC_BY_MASK = 0x42;
constexpr uint8_t UDS_DTC_PERMANENT = 0x55;
constexpr uint8_t UDS_DTC_SNAPSHOT_LIST = 0x03;
constexpr uint8_t UDS_DTC_SNAPSHOT = 0x04;
constexpr uint8_t UDS_GROUP_EMISSIONS = 0x33;
constexpr uint8_t UDS_STATUS_PENDING = 0x04;
constexpr uint8_t UDS_STATUS_CONFIRMED = 0x08;
constexpr uint8_t UDS_SEVERITY_ALL = 0xFF;
// Clearing every code of the emissions group: group FFFF33.
constexpr std::array<uint8_t, 3> UDS_CLEAR_GROUP = {0xFF, 0xFF, UDS_GROUP_EMISSIONS};
// DTC formats of 3-byte codes (2 bytes as the classic code, then a failure type).
constexpr uint8_t UDS_DTC_FORMAT_J2012_00 = 0x00;
constexpr uint8_t UDS_DTC_FORMAT_J2012_04 = 0x04;
// The snapshot record that holds the OBD freeze frame.
constexpr uint8_t UDS_SNAPSHOT_RECORD_OBD = 0x00;

// ISO 15765-2 frame types: the high nibble of the first data byte.
constexpr uint8_t ISOTP_SINGLE_FRAME = 0x0;
constexpr uint8_t ISOTP_FIRST_FRAME = 0x1;
constexpr uint8_t ISOTP_CONSECUTIVE_FRAME = 0x2;
constexpr uint8_t ISOTP_FLOW_CONTROL = 0x3;
constexpr uint8_t ISOTP_SEQUENCE_MASK = 0x0F;
constexpr uint16_t ISOTP_MAX_PAYLOAD = 0xFFF; // 12-bit first-frame length

// Flow control "continue to send", no further flow control, no separation time.
constexpr uint8_t ISOTP_FC_CONTINUE = 0x30;
constexpr uint8_t ISOTP_FC_BLOCK_SIZE_ALL = 0x00;
constexpr uint8_t ISOTP_FC_STMIN_NONE = 0x00;

// ISO 15765-4 identifiers, 11-bit: functional request 0x7DF, ECU n answers
// from 0x7E8 + n and takes physical requests (flow control) on 0x7E0 + n.
constexpr uint32_t OBD2_FUNCTIONAL_ID_11 = 0x7DF;
constexpr uint32_t OBD2_RESPONSE_BASE_11 = 0x7E8;
constexpr uint32_t OBD2_RESPONSE_MASK_11 = 0x7F8;
constexpr size_t OBD2_RESPONSE_IDS_11 = 8; // 0x7E8..0x7EF
constexpr uint32_t OBD2_PHYSICAL_BASE_11 = 0x7E0;
constexpr uint32_t OBD2_PHYSICAL_OFFSET_11 = OBD2_RESPONSE_BASE_11 - OBD2_PHYSICAL_BASE_11;

// 29-bit: functional 0x18DB33F1; ECU xx answers the tester (F1) from
// 0x18DAF1xx and is addressed on 0x18DAxxF1. The gateway accepts ECU 0x10 only.
constexpr uint32_t OBD2_FUNCTIONAL_ID_29 = 0x18DB33F1;
constexpr uint32_t OBD2_RESPONSE_ID_29 = 0x18DAF110;
constexpr uint32_t OBD2_RESPONSE_MASK_29 = 0x1FFFFFFF;
constexpr uint32_t OBD2_PHYSICAL_ID_29 = 0x18DA10F1;
constexpr uint32_t OBD2_TESTER_ADDRESS = 0xF1;

constexpr bool obd2_is_response_id_11(uint32_t id)
{
    return (id & OBD2_RESPONSE_MASK_11) == OBD2_RESPONSE_BASE_11;
}

// Physical identifier of the ECU answering from `response_id`.
constexpr uint32_t obd2_physical_id_11(uint32_t response_id)
{
    return response_id - OBD2_PHYSICAL_OFFSET_11;
}
constexpr uint32_t obd2_physical_id_29(uint32_t response_id)
{
    return (response_id & 0xFFFF0000u) | (response_id & 0xFFu) << 8 | OBD2_TESTER_ADDRESS;
}

static_assert(obd2_physical_id_11(0x7E9) == 0x7E1);
static_assert(obd2_physical_id_29(OBD2_RESPONSE_ID_29) == OBD2_PHYSICAL_ID_29);
