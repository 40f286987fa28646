#include "InfoFields.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace production {

std::string Hex4(uint32_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", unsigned(value & 0xFFFF));
    return text;
}

bool IsHex4(const std::string &text)
{
    if (text.size() != 4)
        return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

namespace {

// Every property is read into a zeroed 260-byte buffer, as the dialog always did; words use the low
// 16 bits, texts are NUL-terminated by the capacity rule.
constexpr uint16_t kBufferSize = 260;

bool ReadWord(const EepromImage &image, int id, std::string &out)
{
    uint8_t buffer[kBufferSize] = {};
    if (!image.GetProperty(id, buffer, kBufferSize))
        return false;
    out = Hex4(uint32_t(buffer[0]) | uint32_t(buffer[1]) << 8);
    return true;
}

bool ReadText(const EepromImage &image, int id, std::string &out)
{
    char buffer[kBufferSize] = {};
    if (!image.GetProperty(id, buffer, kBufferSize))
        return false;
    out.assign(buffer, strnlen(buffer, kBufferSize));
    return true;
}

} // namespace

bool ReadInfoFields(const EepromImage &image, InfoFields &f)
{
    if (!ReadWord(image, EEP_VENDOR_ID, f.m_strVendorID) || !ReadWord(image, EEP_PRODUCT_ID_1, f.m_strPID1) ||
        !ReadWord(image, EEP_PRODUCT_ID_2, f.m_strPID2) || !ReadWord(image, EEP_PRODUCT_ID_3, f.m_strProductID) ||
        !ReadWord(image, EEP_REVISION, f.m_strRevision))
        return false;

    uint8_t select[kBufferSize] = {};
    if (!image.GetProperty(EEP_PID_SELECT, select, kBufferSize))
        return false;
    switch (static_cast<int8_t>(select[0])) {
    case 1:
        f.m_strSelectedPID = f.m_strPID1;
        break;
    case 2:
        f.m_strSelectedPID = f.m_strPID2;
        break;
    default:
        f.m_strSelectedPID = f.m_strProductID;
        break;
    }

    if (!ReadText(image, EEP_VENDOR_STRING, f.m_strVendorDesc) ||
        !ReadText(image, EEP_PRODUCT_STRING, f.m_strProductDesc))
        return false;
    f.m_bEnableSN = image.m_rec.bSerialIndex != 0 ? 1 : 0;
    return true;
}

} // namespace production
