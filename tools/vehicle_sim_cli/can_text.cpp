#include "can_text.h"

#include <linux/can/error.h>

#include <cctype>
#include <cstdio>

namespace obdsim
{

namespace
{

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string hex_list(const uint8_t *p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

const char *service_name(uint8_t sid)
{
    switch (sid) {
    case 0x01:
        return "current data";
    case 0x03:
        return "stored DTCs";
    case 0x04:
        return "clear DTCs";
    case 0x07:
        return "pending DTCs";
    case 0x09:
        return "vehicle information";
    case 0x0A:
        return "permanent DTCs";
    default:
        return nullptr;
    }
}

std::string nrc_name(uint8_t nrc)
{
    switch (nrc) {
    case 0x10:
        return "general reject";
    case 0x11:
        return "service not supported";
    case 0x12:
        return "sub-function not supported";
    case 0x13:
        return "bad length";
    case 0x21:
        return "busy, repeat request";
    case 0x22:
        return "conditions not correct";
    case 0x31:
        return "request out of range";
    case 0x78:
        return "response pending";
    default:
        return "NRC";
    }
}

std::string describe_payload(const uint8_t *p, size_t n)
{
    if (n == 0) {
        return "empty";
    }
    char b[96];
    uint8_t sid = p[0];
    if (sid == 0x7F && n >= 3) {
        std::snprintf(b, sizeof b, "negative answer to %02X: %02X (%s)", p[1], p[2], nrc_name(p[2]).c_str());
        return b;
    }
    if (sid >= 0x40 && service_name(static_cast<uint8_t>(sid - 0x40))) {
        return "answer " + hex_list(p, n);
    }
    if (const char *name = service_name(sid)) {
        if ((sid == 0x01 || sid == 0x09) && n >= 2) {
            std::snprintf(b, sizeof b, "request %02X %s %02X (%s)", sid, sid == 0x01 ? "PID" : "InfoType",
                          p[1], name);
        } else {
            std::snprintf(b, sizeof b, "request %02X (%s)", sid, name);
        }
        return b;
    }
    return "data " + hex_list(p, n);
}

} // namespace

std::optional<can_frame> parse_frame_text(std::string_view t)
{
    size_t hash = t.find('#');
    if (hash == std::string_view::npos || (hash != 3 && hash != 8)) {
        return std::nullopt;
    }
    uint32_t id = 0;
    for (size_t i = 0; i < hash; ++i) {
        int d = hex_digit(t[i]);
        if (d < 0)
            return std::nullopt;
        id = id << 4 | static_cast<uint32_t>(d);
    }
    can_frame f{};
    if (hash == 3) {
        if (id > CAN_SFF_MASK)
            return std::nullopt;
        f.can_id = id;
    } else {
        f.can_id = (id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG)) ? id : (id | CAN_EFF_FLAG);
    }
    std::string_view data = t.substr(hash + 1);
    if (data == "R" || data == "r") {
        f.can_id |= CAN_RTR_FLAG;
        return f;
    }
    size_t n = 0;
    size_t i = 0;
    while (i < data.size()) {
        if (data[i] == '.') {
            ++i;
            continue;
        }
        if (i + 1 >= data.size() || n >= CAN_MAX_DLEN)
            return std::nullopt;
        int hi = hex_digit(data[i]), lo = hex_digit(data[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        f.data[n++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    f.can_dlc = static_cast<uint8_t>(n);
    return f;
}

std::string frame_text(const can_frame &f)
{
    char b[48];
    if (f.can_id & CAN_ERR_FLAG) {
        std::snprintf(b, sizeof b, "%08X#", f.can_id & (CAN_ERR_FLAG | CAN_ERR_MASK));
    } else if (f.can_id & CAN_EFF_FLAG) {
        std::snprintf(b, sizeof b, "%08X#", f.can_id & CAN_EFF_MASK); // 8 digits mean 29-bit
    } else {
        std::snprintf(b, sizeof b, "%03X#", f.can_id & CAN_SFF_MASK);
    }
    std::string s = b;
    if (f.can_id & CAN_RTR_FLAG) {
        return s + "R";
    }
    size_t n = f.can_dlc > CAN_MAX_DLEN ? CAN_MAX_DLEN : f.can_dlc;
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", f.data[i]);
        s += b;
    }
    return s;
}

std::string frame_columns(const can_frame &f)
{
    char b[80];
    bool wide = (f.can_id & (CAN_EFF_FLAG | CAN_ERR_FLAG)) != 0;
    uint32_t id = wide ? f.can_id & (CAN_EFF_MASK | CAN_ERR_FLAG) : f.can_id & CAN_SFF_MASK;
    std::snprintf(b, sizeof b, wide ? "%08X   [%u]" : "%03X   [%u]", id, f.can_dlc);
    std::string s = b;
    if (!wide) {
        s.insert(3, "     "); // keeps the data column aligned with 29-bit lines
    }
    if (f.can_id & CAN_RTR_FLAG) {
        return s + "  remote request";
    }
    size_t n = f.can_dlc > CAN_MAX_DLEN ? CAN_MAX_DLEN : f.can_dlc;
    s += "  ";
    s += hex_list(f.data, n);
    return s;
}

std::string describe_frame(const can_frame &f)
{
    char b[96];
    if (f.can_id & CAN_ERR_FLAG) {
        uint32_t cls = f.can_id & CAN_ERR_MASK;
        std::snprintf(b, sizeof b, "error frame, class 0x%03X%s", cls,
                      (cls & CAN_ERR_TX_TIMEOUT) ? " (TX timeout)"
                      : (cls & CAN_ERR_BUSOFF)   ? " (bus off)"
                                                 : "");
        return b;
    }
    if (f.can_id & CAN_RTR_FLAG) {
        return "remote request";
    }
    size_t n = f.can_dlc > CAN_MAX_DLEN ? CAN_MAX_DLEN : f.can_dlc;
    if (f.can_dlc > CAN_MAX_DLEN) {
        std::snprintf(b, sizeof b, "invalid length %u", f.can_dlc);
        return b;
    }
    if (n == 0) {
        return "no data";
    }
    uint8_t pci = f.data[0];
    switch (pci >> 4) {
    case 0x0: {
        size_t len = pci & 0x0F;
        if (len == 0 || len + 1 > n) {
            return "single frame with a bad length";
        }
        return describe_payload(f.data + 1, len);
    }
    case 0x1: {
        if (n < 2)
            return "first frame, truncated";
        unsigned total = (pci & 0x0Fu) << 8 | f.data[1];
        std::snprintf(b, sizeof b, "first frame, %u bytes: ", total);
        return b + describe_payload(f.data + 2, n - 2);
    }
    case 0x2:
        std::snprintf(b, sizeof b, "consecutive frame #%u", pci & 0x0F);
        return b;
    case 0x3: {
        const char *what = (pci & 0x0F) == 0 ? "continue" : (pci & 0x0F) == 1 ? "wait" : "overflow";
        if (n >= 3) {
            std::snprintf(b, sizeof b, "flow control: %s, block %u, gap %02X", what, f.data[1], f.data[2]);
        } else {
            std::snprintf(b, sizeof b, "flow control: %s", what);
        }
        return b;
    }
    default:
        return "not an ISO-TP frame";
    }
}

} // namespace obdsim
