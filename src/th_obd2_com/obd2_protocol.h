// OBD-II on CAN: the values of SAE J1979 services, ISO 15765-2 transport and
// ISO 15765-4 identifiers, shared by the gateway and the vehicle simulator.
#pragma once

#include <cstdint>

// Services (SAE J1979).
constexpr uint8_t OBD2_SID_CURRENT_DATA = 0x01;
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

// Service 09 InfoTypes the gateway reads.
constexpr uint8_t OBD2_INFOTYPE_VIN = 0x02;
constexpr uint8_t OBD2_INFOTYPE_CALID = 0x04;
constexpr uint8_t OBD2_INFOTYPE_CVN = 0x06;
constexpr uint8_t OBD2_INFOTYPE_ECU_NAME = 0x0A;

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
