#pragma once
// The About box's texts from the version embedded in the program file.

#include "Host.h"

#include <optional>
#include <string>

namespace editor {

inline constexpr const char *kAboutCaption = "About QT7730 EEPROM Editor";
inline constexpr const char *kAboutSecondLine = "Veltrona QT7730 MFG Kit";
inline constexpr const char *kAboutMenuItem = "&About EEPROM Editor..";
inline constexpr const char *kEditorCaption = "QT7730 EEPROM Editor";
inline constexpr const char *kEditorTitle = "QT7730 EEPROM Editor - Veltrona";

// "QT7730 EEPROM Editor <major>.<minor>" from the file version's most significant half; none when
// the program carries no version, in which case no About box is shown.
std::optional<std::string> AboutVersionLine(const std::optional<platform::FileVersion> &version);

// Reads the running program's own version afresh.
std::optional<std::string> ReadAboutVersionLine(platform::Host &host);

} // namespace editor
