#pragma once
// The editor's decisions, kept apart from its widgets so that tests can drive them: the field check,
// the hex parse, building the image from the fields, showing a loaded image in the fields, and the
// image file's save and load. Nothing here shows a window; outcomes carry the text to show.

#include "EepromImage.h"

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace editor {

inline constexpr const char *kChipName = "QT7730";
inline constexpr const char *kMakerName = "Veltrona";
inline constexpr int kHexFieldLimit = 4;
inline constexpr int kTextFieldLimit = 31;

// Message texts shown by the editor.
inline constexpr const char *kVendorIdError = "Vendor ID error";
inline constexpr const char *kProductIdError = "Product ID error";
inline constexpr const char *kRevisionError = "Revision error";
inline constexpr const char *kVendorDescError = "USB Vendor Descriptor error";
inline constexpr const char *kProductDescError = "USB Product Descriptor error";
inline constexpr const char *kExceedError = "Exceed eeprom size";
inline constexpr const char *kShortSerialWarning = "Maximum USB S/N below 16 characters\nContinue?";
inline constexpr const char *kShortSerialCaption = "WARNING";
inline constexpr const char *kSaveFailed = "No EEP file saved...\nPlease try again.";
inline constexpr const char *kShowFailed = "Can't open file!";
inline constexpr const char *kShowFailedCaption = "File Error";

// The operator's entries. Texts are 8-bit: one byte per character, as the image stores them.
struct EditorFields {
    std::string m_strVendorId = "0C5E";
    std::string m_strProductId = "7730";
    std::string m_strRevision = "0100";
    std::string m_strVendorDesc = "Veltrona Technology Inc.";
    std::string m_strProductDesc = "USB Transfer Cable";
    bool m_bEnableSN = false;
    bool m_bSelfPowered = false; // no control: carried from a loaded image into the next build

    bool operator==(const EditorFields &) const = default;
};

enum class HexField { VendorId, ProductId, Revision };

// True when every character is a hex digit; empty and partial texts pass.
bool PassesFieldCheck(std::string_view text);

// Exactly four hex digits, either case, to their value.
std::optional<uint16_t> ParseHex4(std::string_view text);

// A character the 8-bit descriptor text can hold: 0x01..0xFF.
inline bool IsDescriptorChar(char32_t c) { return c >= 0x01 && c <= 0xFF; }

// The local date and time; injectable so that the serial text can be tested on a fixed day.
using Clock = std::function<std::tm()>;
std::tm LocalClock();

// The serial-number text written by a build: "0%y%m%d00000".
std::string SerialText(const std::tm &date);

struct BuildOutcome {
    enum Status {
        Built,        // the image holds the fields
        Refused,      // message holds the error; the build stopped
        NeedsConsent, // built, but the serial area is short: ask kShortSerialWarning, No means refused
    };
    Status status = Refused;
    const char *message = nullptr;
};

struct LoadOutcome {
    int code = EEP_OK;     // LoadFile's result; on a negative one the image was put back
    bool shown = false;    // the fields now show the loaded image
};

class EditorModel {
public:
    enum State { Editing = 0, Configured = 1 };

    explicit EditorModel(Clock clock = LocalClock) : m_clock(std::move(clock)) {}

    // Field check for one hex edit: `typed` is its new text. On a refusal the member keeps its old
    // value and the message to show is returned; otherwise the member takes the text.
    const char *CheckHexField(HexField field, const std::string &typed);

    BuildOutcome BuildImage();
    // The fields from m_image; false (fields untouched) when a property cannot be read.
    bool ShowImage();

    // Loads an image file into m_image, restoring it on failure, then shows it.
    LoadOutcome LoadImageFile(const std::string &path);
    // Writes the 264 bytes to `path` in one piece. The file is replaced only by a complete image:
    // a failed write leaves whatever was there before and no partial file behind.
    bool SaveImageFile(const std::string &path) const;

    std::string &HexMember(HexField field);

    EditorFields m_fields;
    int m_nState = Editing;
    EepromImage m_image;

private:
    // Writes one string descriptor at pos; false (nothing written) if it would end after offset 254.
    bool PutDescriptor(std::size_t &pos, const std::string &text);

    Clock m_clock;
};

// The save dialog's initial file name: "QT7730_Veltrona_".
std::string InitialImageFileName();

} // namespace editor
