#include "LedgerRecord.h"

#include <cstdio>
#include <string_view>

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

namespace line {

namespace {

// Texts from cables are 8-bit: a byte that is no part of UTF-8 (a Latin-1 serial, say) is kept as the
// text "\xNN", so that it can still be read, instead of becoming U+FFFD.
std::string Utf8OrEscaped(const std::string &text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool ok = n && i + n <= text.size();
        for (std::size_t k = 1; ok && k < n; ++k)
            ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (ok && n > 1) { // no overlong forms, no surrogates: what Qt reads back the same
            const QByteArray bytes(text.data() + i, qsizetype(n));
            const QString decoded = QString::fromUtf8(bytes);
            ok = decoded.toUtf8() == bytes && !decoded.contains(QChar(0xFFFD));
        }
        if (ok) {
            out.append(text, i, n);
            i += n;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
            ++i;
        }
    }
    return out;
}

QString Q(const std::string &text)
{
    return QString::fromStdString(Utf8OrEscaped(text));
}

std::string S(const QJsonValue &value)
{
    return value.toString().toStdString();
}

} // namespace

std::string SpreadsheetText(const std::string &text)
{
    if (!text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos)
        return "'" + text;
    return text;
}

std::string CsvField(const std::string &text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string LedgerRecord::FailedStep() const
{
    for (const LedgerStep &step : steps)
        if (step.result != "OK" && step.result != "Skip")
            return step.name;
    return {};
}

std::string LedgerRecord::ToJson() const
{
    QJsonObject o;
    o["kind"] = Q(kind);
    o["tool"] = Q(tool);
    o["time_utc"] = Q(timeUtc);
    o["station"] = station;
    o["host"] = Q(host);
    o["serial"] = Q(serial);
    o["image_sha256"] = Q(imageSha256);
    o["chip_model"] = qint64(chipModel);
    o["chip_version"] = qint64(chipVersion);
    QJsonArray deviceList;
    for (const std::string &d : devices)
        deviceList.append(Q(d));
    o["devices"] = deviceList;
    QJsonArray stepList;
    for (const LedgerStep &s : steps)
        stepList.append(QJsonObject{{"name", Q(s.name)}, {"result", Q(s.result)}});
    o["steps"] = stepList;
    o["verdict"] = Q(verdict);
    QJsonArray fieldList;
    for (const LedgerField &f : differing)
        fieldList.append(QJsonObject{{"field", Q(f.field)}, {"expected", Q(f.expected)}, {"found", Q(f.found)}});
    o["differing"] = fieldList;
    o["duration_ms"] = qint64(durationMs);
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

std::optional<LedgerRecord> LedgerRecord::FromJson(const std::string &json)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    LedgerRecord r;
    r.kind = S(o["kind"]);
    r.tool = S(o["tool"]);
    r.timeUtc = S(o["time_utc"]);
    r.station = o["station"].toInt(-1);
    r.host = S(o["host"]);
    r.serial = S(o["serial"]);
    r.imageSha256 = S(o["image_sha256"]);
    r.chipModel = std::uint32_t(o["chip_model"].toInteger());
    r.chipVersion = std::uint32_t(o["chip_version"].toInteger());
    for (const QJsonValue &d : o["devices"].toArray())
        r.devices.push_back(S(d));
    for (const QJsonValue &s : o["steps"].toArray())
        r.steps.push_back({S(s["name"]), S(s["result"])});
    r.verdict = S(o["verdict"]);
    for (const QJsonValue &f : o["differing"].toArray())
        r.differing.push_back({S(f["field"]), S(f["expected"]), S(f["found"])});
    r.durationMs = o["duration_ms"].toInteger();
    return r;
}

std::string NowUtc()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
}

std::string Sha256Hex(const void *bytes, std::size_t size)
{
    const QByteArray data = QByteArray::fromRawData(static_cast<const char *>(bytes), qsizetype(size));
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex().toStdString();
}

} // namespace line
