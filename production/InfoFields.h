#pragma once
// What the EEPROM Info dialog shows of an image, and the product-ID text it hands to the main window.
// Plain C++ so that tests check the mapping without a window.

#include "EepromImage.h"

#include <string>

namespace production {

struct InfoFields {
    std::string m_strVendorID;
    std::string m_strPID1;
    std::string m_strPID2;
    std::string m_strProductID;
    std::string m_strRevision;
    std::string m_strSelectedPID; // the product ID the cable presents (the word bPidSelect names)
    std::string m_strVendorDesc;
    std::string m_strProductDesc;
    int m_bEnableSN = 0;
};

// Fills `fields` from the image. Stops at the first property that cannot be read and returns false;
// the fields read so far are then filled and the rest untouched (the dialog does not show them).
bool ReadInfoFields(const EepromImage &image, InfoFields &fields);

// "%04X" of the low 16 bits.
std::string Hex4(uint32_t value);

// True for exactly four hex digits; the main window builds its hardware-ID pattern from such texts.
bool IsHex4(const std::string &text);

} // namespace production
