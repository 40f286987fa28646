#include "EditorModel.h"

#include <QSaveFile>
#include <QString>

#include <array>
#include <cstring>

namespace editor {

namespace {

constexpr uint8_t kStringType = 3;
constexpr std::size_t kSerialDescriptorLength = 26; // 12 characters
constexpr std::size_t kMinTailAfterSerial = 4;
constexpr std::size_t kComfortTailAfterSerial = 36;  // room for a 16-character serial number later
constexpr uint16_t kProductId1 = 0x7711;
constexpr uint16_t kProductId2 = 0x7712;
constexpr uint16_t kProductId4 = 0x7702;
constexpr uint8_t kPidSelectWord3 = 3;

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return c - 'A' + 10;
}

bool SetWord(EepromImage &image, int id, uint16_t value)
{
    const uint8_t le[2] = {uint8_t(value), uint8_t(value >> 8)};
    return image.SetProperty(id, le, sizeof le);
}

std::string Hex4(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

} // namespace

bool PassesFieldCheck(std::string_view text)
{
    for (char c : text)
        if (!IsHexDigit(c))
            return false;
    return true;
}

std::optional<uint16_t> ParseHex4(std::string_view text)
{
    // Only four hex digits are a value: no sign, blank or prefix slips through a lenient conversion.
    if (text.size() != 4 || !PassesFieldCheck(text))
        return std::nullopt;
    unsigned value = 0;
    for (char c : text)
        value = (value << 4) | unsigned(HexValue(c));
    return uint16_t(value);
}

std::tm LocalClock()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

std::string SerialText(const std::tm &date)
{
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "0%y%m%d00000", &date);
    return std::string(text, n);
}

std::string InitialImageFileName()
{
    return std::string(kChipName) + "_" + kMakerName + "_";
}

std::string &EditorModel::HexMember(HexField field)
{
    switch (field) {
    case HexField::VendorId: return m_fields.m_strVendorId;
    case HexField::ProductId: return m_fields.m_strProductId;
    case HexField::Revision: break;
    }
    return m_fields.m_strRevision;
}

const char *EditorModel::CheckHexField(HexField field, const std::string &typed)
{
    if (!PassesFieldCheck(typed)) {
        switch (field) {
        case HexField::VendorId: return kVendorIdError;
        case HexField::ProductId: return kProductIdError;
        case HexField::Revision: return kRevisionError;
        }
    }
    HexMember(field) = typed;
    return nullptr;
}

bool EditorModel::PutDescriptor(std::size_t &pos, const std::string &text)
{
    const std::size_t length = 2 * text.size() + 2;
    if (pos + length > EepromImage::kStringsEnd)
        return false;
    uint8_t *bytes = m_image.Bytes();
    bytes[pos] = uint8_t(length);
    bytes[pos + 1] = kStringType;
    for (std::size_t i = 0; i < text.size(); ++i) {
        bytes[pos + 2 + 2 * i] = uint8_t(text[i]);
        bytes[pos + 3 + 2 * i] = 0;
    }
    pos += length;
    return true;
}

BuildOutcome EditorModel::BuildImage()
{
    const auto refuse = [](const char *message) { return BuildOutcome{BuildOutcome::Refused, message}; };
    const EditorFields &f = m_fields;

    const auto vid = ParseHex4(f.m_strVendorId);
    if (!vid || *vid == 0)
        return refuse(kVendorIdError);
    SetWord(m_image, EEP_VENDOR_ID, *vid);
    SetWord(m_image, EEP_PRODUCT_ID_1, kProductId1);
    SetWord(m_image, EEP_PRODUCT_ID_2, kProductId2);

    const auto pid = ParseHex4(f.m_strProductId);
    if (!pid)
        return refuse(kProductIdError);
    SetWord(m_image, EEP_PRODUCT_ID_3, *pid);
    SetWord(m_image, EEP_PRODUCT_ID_4, kProductId4);

    const auto rev = ParseHex4(f.m_strRevision);
    if (!rev)
        return refuse(kRevisionError);
    SetWord(m_image, EEP_REVISION, *rev);
    const uint8_t pidSelect = kPidSelectWord3;
    m_image.SetProperty(EEP_PID_SELECT, &pidSelect, 1);

    // The chain restarts right after descriptor 0, whatever length that one claims.
    std::size_t pos = EepromImage::kStringsBegin + m_image.Bytes()[EepromImage::kStringsBegin];

    if (f.m_strVendorDesc.empty())
        return refuse(kVendorDescError);
    if (!PutDescriptor(pos, f.m_strVendorDesc))
        return refuse(kExceedError);
    if (f.m_strProductDesc.empty())
        return refuse(kProductDescError);
    if (!PutDescriptor(pos, f.m_strProductDesc))
        return refuse(kExceedError);
    const std::string serial = SerialText(m_clock());
    if (serial.size() * 2 + 2 != kSerialDescriptorLength || !PutDescriptor(pos, serial))
        return refuse(kExceedError);

    if (f.m_bSelfPowered)
        m_image.m_rec.bAttributes |= EepromImage::kSelfPowered;
    else
        m_image.m_rec.bAttributes &= uint8_t(~EepromImage::kSelfPowered);
    m_image.m_rec.bSerialIndex = f.m_bEnableSN ? EepromImage::kSerialInUse : 0;

    if (pos + kMinTailAfterSerial > EepromImage::kStringsEnd)
        return refuse(kExceedError);
    if (pos + kComfortTailAfterSerial > EepromImage::kStringsEnd)
        return {BuildOutcome::NeedsConsent, kShortSerialWarning};
    return {BuildOutcome::Built, nullptr};
}

bool EditorModel::ShowImage()
{
    uint16_t words[3];
    const int wordIds[3] = {EEP_VENDOR_ID, EEP_PRODUCT_ID_3, EEP_REVISION};
    for (int i = 0; i < 3; ++i) {
        std::array<uint8_t, 260> buffer{};
        if (!m_image.GetProperty(wordIds[i], buffer.data(), uint16_t(buffer.size())))
            return false;
        words[i] = uint16_t(buffer[0] | (buffer[1] << 8));
    }
    std::string texts[2];
    const int textIds[2] = {EEP_VENDOR_STRING, EEP_PRODUCT_STRING};
    for (int i = 0; i < 2; ++i) {
        std::array<char, 260> buffer{};
        if (!m_image.GetProperty(textIds[i], buffer.data(), uint16_t(buffer.size())))
            return false;
        texts[i] = std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
    }
    m_fields.m_strVendorId = Hex4(words[0]);
    m_fields.m_strProductId = Hex4(words[1]);
    m_fields.m_strRevision = Hex4(words[2]);
    m_fields.m_strVendorDesc = texts[0];
    m_fields.m_strProductDesc = texts[1];
    m_fields.m_bSelfPowered = (m_image.m_rec.bAttributes & EepromImage::kSelfPowered) != 0;
    m_fields.m_bEnableSN = m_image.m_rec.bSerialIndex != 0;
    return true;
}

LoadOutcome EditorModel::LoadImageFile(const std::string &path)
{
    LoadOutcome outcome;
    outcome.code = m_image.LoadFileOrRestore(path, CHIP_MODEL_QT7730);
    if (outcome.code < 0)
        return outcome;
    outcome.shown = ShowImage();
    return outcome;
}

bool EditorModel::SaveImageFile(const std::string &path) const
{
    // Written beside the target and renamed over it only when all 264 bytes are on disk. Unbuffered,
    // because a buffered QSaveFile commits a short write at close as if it had succeeded.
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const auto size = qint64(EepromImage::kImageSize);
    if (file.write(reinterpret_cast<const char *>(m_image.Bytes()), size) != size) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace editor
