#pragma once
// The bridge chip's 256-byte configuration EEPROM plus the 8-byte trailer naming the chip it belongs
// to. The same 264 bytes are the ".eep" image file. Plain C++, no Qt: both programs and the command-line
// inspector link it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Chip model codes, shared with the device layer.
inline constexpr uint32_t CHIP_MODEL_QT7730 = 0x7730;
inline constexpr uint32_t CHIP_MODEL_QT7701 = 0x7701;
inline constexpr uint32_t CHIP_MODEL_UNKNOWN = 0;

// Property ids. 4 to 8 are deliberately unassigned and refused.
enum EepromProperty : int {
    EEP_VENDOR_ID = 1,
    EEP_PRODUCT_ID_1 = 2,
    EEP_REVISION = 3,
    EEP_PID_SELECT = 9,
    EEP_PRODUCT_ID_2 = 10,
    EEP_PRODUCT_ID_3 = 11,
    EEP_PRODUCT_ID_4 = 12,
    EEP_CHIP_MODEL = 13,
    EEP_CHIP_VERSION = 14,
    EEP_VENDOR_STRING = 15,
    EEP_PRODUCT_STRING = 16,
    EEP_SERIAL_STRING = 17,
};

// Load results. -4 to -7 are never produced; their texts exist so every code has one.
enum EepromLoadError : int {
    EEP_OK = 0,
    EEP_ERR_OPEN = -1,
    EEP_ERR_SIZE = -2,
    EEP_ERR_FORMAT = -3,
    EEP_ERR_MEMORY = -4,
    EEP_ERR_CHECKSUM = -5,
    EEP_ERR_FW_VERSION = -6,
    EEP_ERR_FW_NOT_LOADED = -7,
    EEP_ERR_CHIP_MODEL = -8,
};

// A little-endian field that can live at any byte offset of the record.
template <std::size_t N>
struct LeField {
    uint8_t b[N];
    constexpr uint32_t get() const
    {
        uint32_t v = 0;
        for (std::size_t i = N; i-- > 0;)
            v = (v << 8) | b[i];
        return v;
    }
    constexpr void set(uint32_t v)
    {
        for (std::size_t i = 0; i < N; ++i, v >>= 8)
            b[i] = static_cast<uint8_t>(v);
    }
};
using Le16 = LeField<2>;
using Le32 = LeField<4>;

// The 264 bytes exactly as they lie in the chip and in the file.
struct EepromRecord {
    Le16 wSignature;       // 0
    Le16 wVendorId;        // 2
    Le16 wProductId1;      // 4
    Le16 wRevision;        // 6
    uint8_t bAttributes;   // 8   bit 6: self-powered
    uint8_t bMaxPower;     // 9
    uint8_t abBlock10[6];  // 10
    uint8_t abBlock16[6];  // 16
    uint8_t bSerialIndex;  // 22  3: serial-number string in use, 0: none
    uint8_t bPidSelect;    // 23  1..3: which product-ID word is the product ID
    Le16 wProductId2;      // 24
    Le16 wProductId3;      // 26
    Le16 wProductId4;      // 28
    uint8_t abUnused30[2]; // 30
    uint8_t abStrings[222];// 32  string-descriptor chain
    uint8_t abTail[2];     // 254 never moved by string rewrites
    Le32 dwChipModel;      // 256
    Le32 dwChipVersion;    // 260
};

class EepromImage {
public:
    static constexpr std::size_t kImageSize = 264;
    static constexpr std::size_t kEepromSize = 256;
    static constexpr uint16_t kSignature = 0x0C5E;
    static constexpr std::size_t kStringsBegin = 32;
    static constexpr std::size_t kStringsEnd = 254; // descriptors end at or before this offset
    static constexpr uint8_t kSelfPowered = 0x40;
    static constexpr uint8_t kSerialInUse = 3;

    EepromImage() { Reset(); }

    // All bytes zero, then the layout's defaults; clears m_bBlank.
    void Reset();

    // Reads and checks an image file. From the read on, the image holds the file's bytes whatever the
    // result; callers that must keep their image on failure use LoadFileOrRestore.
    int LoadFile(const std::string &path, uint32_t expectedModel);
    // The same checks on bytes already in memory (the first 264 of them are taken).
    int LoadBytes(const uint8_t *data, std::size_t size, uint32_t expectedModel);
    // LoadFile, with the 264 bytes put back as they were when the result is negative.
    int LoadFileOrRestore(const std::string &path, uint32_t expectedModel);

    static const char *ErrorText(int code);

    bool GetProperty(int id, void *out, uint16_t capacity) const;
    bool SetProperty(int id, const void *value, uint16_t size);

    bool GetString(int index, char *out, uint16_t capacity) const;
    bool SetString(int index, const char *text, uint16_t count);

    // The serial-number text ("" when the image uses none or its descriptor cannot be read).
    std::string SerialText() const;
    // An image holding these 256 EEPROM bytes, as read from a cable.
    static EepromImage OfEeprom(const uint8_t *eeprom);

    // One descriptor of the chain, as found by walking it from offset 32.
    struct Descriptor {
        std::size_t offset;
        uint8_t length;
        uint8_t type;
    };
    enum class ChainEnd {
        ShortLength, // a bLength below 3 ended the chain (the usual end)
        AreaFull,    // the last descriptor ends exactly at offset 254
        PastArea,    // a descriptor would run past offset 254: only a damaged image has one
        Stopped,     // the walker's caller stopped early
    };
    // Every descriptor that a lookup can find, and why the walk stopped.
    std::vector<Descriptor> Descriptors(ChainEnd *end = nullptr) const;

    uint8_t *Bytes() { return reinterpret_cast<uint8_t *>(&m_rec); }
    const uint8_t *Bytes() const { return reinterpret_cast<const uint8_t *>(&m_rec); }

    EepromRecord m_rec;
    bool m_bBlank = false;

private:
    bool FindDescriptor(int index, std::size_t &offset, std::size_t &length) const;
};

static_assert(sizeof(EepromRecord) == EepromImage::kImageSize, "the record is the 264-byte file");
static_assert(offsetof(EepromRecord, bSerialIndex) == 22 && offsetof(EepromRecord, wProductId2) == 24 &&
              offsetof(EepromRecord, abStrings) == 32 && offsetof(EepromRecord, abTail) == 254 &&
              offsetof(EepromRecord, dwChipModel) == 256 && offsetof(EepromRecord, dwChipVersion) == 260);

// 8-bit text to and from the UTF-16LE code units of a string descriptor, byte for code unit.
// Narrowing stops at the first zero unit or the first unit above 0x00FF.
std::string NarrowDescriptorText(const uint8_t *units, std::size_t unitCount);
