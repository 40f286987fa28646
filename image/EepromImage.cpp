#include "EepromImage.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <cstdio>
#include <filesystem>
#include <memory>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr uint8_t kStringDescriptorType = 3;
constexpr std::size_t kBlankBegin = 160; // a blank image has 0xFF in bytes 160..191
constexpr std::size_t kBlankEnd = 192;

bool IsKnownModel(uint32_t model)
{
    return model == CHIP_MODEL_QT7730 || model == CHIP_MODEL_QT7701;
}

} // namespace

std::string NarrowDescriptorText(const uint8_t *units, std::size_t unitCount)
{
    std::string text;
    for (std::size_t i = 0; i < unitCount; ++i) {
        const unsigned unit = units[2 * i] | (units[2 * i + 1] << 8);
        if (unit == 0 || unit > 0xFF)
            break;
        text.push_back(static_cast<char>(unit));
    }
    return text;
}

void EepromImage::Reset()
{
    std::memset(&m_rec, 0, sizeof m_rec);
    m_rec.wSignature.set(kSignature);
    m_rec.bAttributes = 0x80;
    m_rec.bMaxPower = 0x32;
    std::memset(m_rec.abBlock10, 0xFF, sizeof m_rec.abBlock10);
    std::memset(m_rec.abBlock16, 0xFF, sizeof m_rec.abBlock16);
    m_rec.bPidSelect = 3;
    // Descriptor 0: the language-ID list with one language, US English.
    const uint8_t languages[] = {4, kStringDescriptorType, 0x09, 0x04};
    std::memcpy(m_rec.abStrings, languages, sizeof languages);
    m_bBlank = false;
}

namespace {

// Reads at most the image's 264 bytes of `path` into `buffer`; the count read, or -1 when the path is
// not a regular file or cannot be opened. Anything else (a FIFO, a device, a folder, a socket) is
// refused before it is opened, and the open itself never waits, so a load always returns at once and
// never reads more than an image's worth, whatever the path names.
long ReadImageFile(const std::string &path, uint8_t *buffer, std::size_t size)
{
#ifdef _WIN32
    std::error_code error;
    if (!std::filesystem::is_regular_file(std::filesystem::path(path), error) || error)
        return -1;
    struct FileCloser {
        void operator()(std::FILE *f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return -1;
    return static_cast<long>(std::fread(buffer, 1, size, file.get()));
#else
    // The kind first (a link to a regular file is fine): a device node is never opened at all.
    struct stat kind {};
    if (::stat(path.c_str(), &kind) != 0 || !S_ISREG(kind.st_mode))
        return -1;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // The path may have been replaced between the two looks: what was opened decides.
    struct stat opened {};
    long got = -1;
    if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode)) {
        std::size_t total = 0;
        while (total < size) {
            const ssize_t n = ::read(fd, buffer + total, size - total);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break; // end of file, or an error: what was read so far counts
            total += static_cast<std::size_t>(n);
        }
        got = static_cast<long>(total);
    }
    ::close(fd);
    return got;
#endif
}

} // namespace

int EepromImage::LoadFile(const std::string &path, uint32_t expectedModel)
{
    std::array<uint8_t, kImageSize> buffer;
    const long got = ReadImageFile(path, buffer.data(), buffer.size());
    if (got < 0)
        return EEP_ERR_OPEN;
    return LoadBytes(buffer.data(), static_cast<std::size_t>(got), expectedModel);
}

int EepromImage::LoadBytes(const uint8_t *data, std::size_t size, uint32_t expectedModel)
{
    const std::size_t take = std::min(size, kImageSize);
    if (take > 0)
        std::memcpy(Bytes(), data, take);
    if (take < kImageSize)
        return EEP_ERR_SIZE;
    if (m_rec.wSignature.get() != kSignature)
        return EEP_ERR_FORMAT;
    const uint32_t model = m_rec.dwChipModel.get();
    if (!IsKnownModel(model))
        return EEP_ERR_FORMAT;
    if (model != expectedModel)
        return EEP_ERR_CHIP_MODEL;
    const uint8_t *bytes = Bytes();
    if (std::all_of(bytes + kBlankBegin, bytes + kBlankEnd, [](uint8_t b) { return b == 0xFF; }))
        m_bBlank = true;
    return EEP_OK;
}

int EepromImage::LoadFileOrRestore(const std::string &path, uint32_t expectedModel)
{
    const EepromRecord saved = m_rec;
    const int result = LoadFile(path, expectedModel);
    if (result < 0)
        m_rec = saved;
    return result;
}

const char *EepromImage::ErrorText(int code)
{
    switch (code) {
    case EEP_OK: return "No error";
    case EEP_ERR_OPEN: return "Can't open the file";
    case EEP_ERR_SIZE: return "File size incorrect";
    case EEP_ERR_FORMAT: return "File format incorrect";
    case EEP_ERR_MEMORY: return "Out of memory";
    case EEP_ERR_CHECKSUM: return "Firmware check sum incorrect";
    case EEP_ERR_FW_VERSION: return "Firmware version dismatch";
    case EEP_ERR_FW_NOT_LOADED: return "Firmware file not loaded";
    case EEP_ERR_CHIP_MODEL: return "Incorrect chip model";
    default: return "Unknown error";
    }
}

namespace {

// Walks the chain from offset 32, calling visit(offset, length) for each descriptor until visit
// returns false or the chain ends. Never reads outside the string area, whatever the bytes hold.
template <class Visit>
EepromImage::ChainEnd WalkChain(const uint8_t *bytes, Visit &&visit)
{
    std::size_t offset = EepromImage::kStringsBegin;
    for (;;) {
        if (offset >= EepromImage::kStringsEnd)
            return EepromImage::ChainEnd::AreaFull;
        const uint8_t length = bytes[offset];
        if (length < 3)
            return EepromImage::ChainEnd::ShortLength;
        if (offset + length > EepromImage::kStringsEnd)
            return EepromImage::ChainEnd::PastArea;
        if (!visit(offset, length))
            return EepromImage::ChainEnd::Stopped;
        offset += length;
    }
}

} // namespace

std::vector<EepromImage::Descriptor> EepromImage::Descriptors(ChainEnd *end) const
{
    std::vector<Descriptor> chain;
    const uint8_t *bytes = Bytes();
    const ChainEnd how = WalkChain(bytes, [&](std::size_t offset, uint8_t length) {
        chain.push_back({offset, length, bytes[offset + 1]});
        return true;
    });
    if (end)
        *end = how;
    return chain;
}

bool EepromImage::FindDescriptor(int index, std::size_t &offset, std::size_t &length) const
{
    if (index < 0)
        return false;
    int k = 0;
    bool found = false;
    WalkChain(Bytes(), [&](std::size_t at, uint8_t len) {
        if (k++ < index)
            return true;
        offset = at;
        length = len;
        found = true;
        return false;
    });
    return found;
}

bool EepromImage::GetString(int index, char *out, uint16_t capacity) const
{
    std::size_t offset = 0, length = 0;
    if (!FindDescriptor(index, offset, length))
        return false;
    if (capacity <= length - 2)
        return false;
    std::memset(out, 0, capacity);
    const std::string text = NarrowDescriptorText(Bytes() + offset + 2, (length - 2) / 2);
    std::memcpy(out, text.data(), text.size()); // text.size() <= length - 2 < capacity
    return true;
}

bool EepromImage::SetString(int index, const char *text, uint16_t count)
{
    std::size_t offset = 0, length = 0;
    if (!FindDescriptor(index, offset, length))
        return false;
    const std::size_t oldEnd = offset + length;
    if (oldEnd >= kStringsEnd)
        return false;
    // A descriptor that would run into the tail (or overflow its one-byte length) is refused whole:
    // nothing is written, so the image stays as it was.
    const std::size_t newLength = 2 * std::size_t(count) + 2;
    const std::size_t newEnd = offset + newLength;
    if (newEnd > kStringsEnd || newLength > 0xFF)
        return false;

    uint8_t *bytes = Bytes();
    std::array<uint8_t, kStringsEnd> tail{};
    const std::size_t tailSize = kStringsEnd - oldEnd;
    std::memcpy(tail.data(), bytes + oldEnd, tailSize);

    bytes[offset] = static_cast<uint8_t>(newLength);
    bytes[offset + 1] = kStringDescriptorType;
    bool afterNul = false;
    for (std::size_t i = 0; i < count; ++i) {
        afterNul = afterNul || text[i] == '\0';
        bytes[offset + 2 + 2 * i] = afterNul ? 0 : static_cast<uint8_t>(text[i]);
        bytes[offset + 3 + 2 * i] = 0;
    }

    const std::size_t room = kStringsEnd - newEnd;
    const std::size_t moved = std::min(room, tailSize);
    std::memcpy(bytes + newEnd, tail.data(), moved);
    std::memset(bytes + newEnd + moved, 0, room - moved);
    return true;
}

bool EepromImage::GetProperty(int id, void *out, uint16_t capacity) const
{
    auto word = [&](const Le16 &field) {
        if (capacity < 2)
            return false;
        const uint16_t v = static_cast<uint16_t>(field.get());
        std::memcpy(out, &v, 2);
        return true;
    };
    auto dword = [&](const Le32 &field) {
        if (capacity < 4)
            return false;
        const uint32_t v = field.get();
        std::memcpy(out, &v, 4);
        return true;
    };
    switch (id) {
    case EEP_VENDOR_ID: return word(m_rec.wVendorId);
    case EEP_PRODUCT_ID_1: return word(m_rec.wProductId1);
    case EEP_REVISION: return word(m_rec.wRevision);
    case EEP_PRODUCT_ID_2: return word(m_rec.wProductId2);
    case EEP_PRODUCT_ID_3: return word(m_rec.wProductId3);
    case EEP_PRODUCT_ID_4: return word(m_rec.wProductId4);
    case EEP_PID_SELECT:
        if (capacity < 1)
            return false;
        *static_cast<uint8_t *>(out) = m_rec.bPidSelect;
        return true;
    case EEP_CHIP_MODEL: return dword(m_rec.dwChipModel);
    case EEP_CHIP_VERSION: return dword(m_rec.dwChipVersion);
    case EEP_VENDOR_STRING: return GetString(1, static_cast<char *>(out), capacity);
    case EEP_PRODUCT_STRING: return GetString(2, static_cast<char *>(out), capacity);
    // The serial text is write-only as a property: the programs only ever overwrite it.
    default: return false;
    }
}

bool EepromImage::SetProperty(int id, const void *value, uint16_t size)
{
    auto word = [&](Le16 &field) {
        if (size != 2)
            return false;
        uint16_t v;
        std::memcpy(&v, value, 2);
        field.set(v);
        return true;
    };
    auto dword = [&](Le32 &field) {
        if (size != 4)
            return false;
        uint32_t v;
        std::memcpy(&v, value, 4);
        field.set(v);
        return true;
    };
    switch (id) {
    case EEP_VENDOR_ID: return word(m_rec.wVendorId);
    case EEP_PRODUCT_ID_1: return word(m_rec.wProductId1);
    case EEP_REVISION: return word(m_rec.wRevision);
    case EEP_PRODUCT_ID_2: return word(m_rec.wProductId2);
    case EEP_PRODUCT_ID_3: return word(m_rec.wProductId3);
    case EEP_PRODUCT_ID_4: return word(m_rec.wProductId4);
    case EEP_PID_SELECT:
        if (size != 1)
            return false;
        m_rec.bPidSelect = *static_cast<const uint8_t *>(value);
        return true;
    case EEP_CHIP_MODEL: return dword(m_rec.dwChipModel);
    case EEP_CHIP_VERSION: return dword(m_rec.dwChipVersion);
    case EEP_VENDOR_STRING: return SetString(1, static_cast<const char *>(value), size);
    case EEP_PRODUCT_STRING: return SetString(2, static_cast<const char *>(value), size);
    case EEP_SERIAL_STRING: return SetString(3, static_cast<const char *>(value), size);
    default: return false;
    }
}

std::string EepromImage::SerialText() const
{
    if (m_rec.bSerialIndex == 0)
        return {};
    char text[256] = {};
    return GetString(3, text, sizeof text) ? std::string(text) : std::string();
}

EepromImage EepromImage::OfEeprom(const uint8_t *eeprom)
{
    EepromImage image;
    std::memcpy(image.Bytes(), eeprom, kEepromSize);
    return image;
}
