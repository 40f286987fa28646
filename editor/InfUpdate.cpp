#include "InfUpdate.h"

#include <QFile>
#include <QSaveFile>
#include <QString>

#include <cstdio>

namespace editor {

namespace {

constexpr std::string_view kUtf16LeMark("\xFF\xFE", 2);
constexpr std::size_t kMaxInfSize = 64 * 1024 * 1024; // far beyond any INF; keeps a bad path harmless

std::string WidenLe(std::string_view text)
{
    std::string wide;
    wide.reserve(2 * text.size());
    for (char c : text) {
        wide.push_back(c);
        wide.push_back('\0');
    }
    return wide;
}

// First occurrence of `needle` at an even offset at or after `from` (code-unit aligned).
std::size_t FindAligned(const std::string &haystack, const std::string &needle, std::size_t from)
{
    for (std::size_t at = haystack.find(needle, from); at != std::string::npos;
         at = haystack.find(needle, at + 1))
        if (at % 2 == 0)
            return at;
    return std::string::npos;
}

} // namespace

std::string InfModelLine(uint16_t vendorId, uint16_t productId)
{
    char line[64];
    std::snprintf(line, sizeof line, "%%Vel.DeviceDesc%%=USBBC2.Dev, USB\\VID_%04X&PID_%04X",
                  unsigned(vendorId), unsigned(productId));
    return line;
}

std::string InfModelsHeader(const std::string &manufacturer)
{
    return "[" + manufacturer + "]";
}

bool IsPlainFileName(std::string_view name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    return name.find_first_of(std::string_view("/\\:\0", 4)) == std::string_view::npos;
}

InfEdit AddModelLine(std::string &text, const std::string &header, const std::string &line)
{
    if (text.size() >= 2 && text.compare(0, 2, kUtf16LeMark) == 0) {
        if (text.size() % 2 != 0)
            return InfEdit::Unsupported;
        const std::string wideLine = WidenLe(line);
        if (FindAligned(text, wideLine, 2) != std::string::npos)
            return InfEdit::AlreadyListed;
        const std::string wideHeader = WidenLe(header);
        const std::size_t at = FindAligned(text, wideHeader, 2);
        if (at == std::string::npos)
            return InfEdit::NoHeader;
        text.insert(at + wideHeader.size(), WidenLe("\r\n" + line));
        return InfEdit::Added;
    }
    // A NUL byte means UTF-16 without a mark, or not text at all; rewriting it as 8-bit text would
    // cut the file at that byte.
    if (text.find('\0') != std::string::npos)
        return InfEdit::Unsupported;
    if (text.find(line) != std::string::npos)
        return InfEdit::AlreadyListed;
    const std::size_t at = text.find(header);
    if (at == std::string::npos)
        return InfEdit::NoHeader;
    text.insert(at + header.size(), "\r\n" + line);
    return InfEdit::Added;
}

int AddModelLineToFile(const std::string &path, const std::string &header, const std::string &line)
{
    const QString name = QString::fromStdString(path);
    QFile in(name);
    if (!in.open(QIODevice::ReadOnly) || in.size() > qint64(kMaxInfSize))
        return 0;
    const QByteArray raw = in.readAll();
    in.close();
    std::string text(raw.constData(), std::size_t(raw.size()));

    switch (AddModelLine(text, header, line)) {
    case InfEdit::AlreadyListed: return 1;
    case InfEdit::NoHeader:
    case InfEdit::Unsupported: return 0;
    case InfEdit::Added: break;
    }
    // Unbuffered: a buffered QSaveFile commits a short write at close as if it had succeeded.
    QSaveFile out(name);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return 0;
    if (out.write(text.data(), qint64(text.size())) != qint64(text.size())) {
        out.cancelWriting();
        return 0;
    }
    return out.commit() ? 1 : 0;
}

} // namespace editor
