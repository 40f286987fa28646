// The body of a record is compared byte for byte by the line server, and stations written before
// the ledger stopped using Qt keep their bodies: the kit's own JSON, SHA-256 and time stamps must be
// exactly what Qt made of the same record. Checked against Qt itself over many random records whose
// texts hold every kind of byte a cable may carry.

#include "JsonText.h"
#include "LedgerRecord.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <random>

namespace {

// The kit's record writer as it was, on Qt; texts pass through the same escaping of stray bytes.
std::string QtBody(const line::LedgerRecord &r, const std::function<std::string(const std::string &)> &escaped)
{
    auto q = [&](const std::string &t) { return QString::fromStdString(escaped(t)); };
    QJsonObject o;
    o["kind"] = q(r.kind);
    o["tool"] = q(r.tool);
    o["time_utc"] = q(r.timeUtc);
    o["station"] = r.station;
    o["host"] = q(r.host);
    o["serial"] = q(r.serial);
    o["image_sha256"] = q(r.imageSha256);
    o["chip_model"] = qint64(r.chipModel);
    o["chip_version"] = qint64(r.chipVersion);
    QJsonArray devices, steps, fields;
    for (const auto &d : r.devices)
        devices.append(q(d));
    for (const auto &s : r.steps)
        steps.append(QJsonObject{{"name", q(s.name)}, {"result", q(s.result)}});
    for (const auto &f : r.differing)
        fields.append(QJsonObject{{"field", q(f.field)}, {"expected", q(f.expected)}, {"found", q(f.found)}});
    o["devices"] = devices;
    o["steps"] = steps;
    o["verdict"] = q(r.verdict);
    o["differing"] = fields;
    o["duration_ms"] = qint64(r.durationMs);
    // Where the sides were plugged came later: only there when a side's port is known.
    QJsonArray ports;
    bool known = false;
    for (const auto &p : r.ports) {
        ports.append(q(p));
        known = known || !p.empty();
    }
    if (known)
        o["ports"] = ports;
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

// What the record's JSON holds of a text: the text itself when it is clean UTF-8 (Qt's reading of it
// gives the same bytes back and no replacement character), else each stray byte as "\xNN".
std::string QtEscaped(const std::string &text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool ok = n && i + n <= text.size();
        for (std::size_t k = 1; ok && k < n; ++k)
            ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (ok && n > 1) {
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

std::string RandomText(std::mt19937 &random)
{
    static const std::vector<std::string> kPieces = {
        "a", "Z", "0", " ", "\"", "\\", "/", "\b", "\f", "\n", "\r", "\t", "\x01", "\x1f", "\x7f", "\xc3\xa9",
        "\xe4\xb8\xad", "\xf0\x9f\x94\x8c", "\xef\xbf\xbd", "\xef\xbf\xbe", "\xed\xa0\x80", "\xc0\xaf", "\xe9",
        "\xff", "\xf4\x90\x80\x80", "\xe0\x80\xaf", "=SUM(A1)", "\xc2\x85", "\xe2\x80\xa8", std::string(1, '\0')};
    std::string text;
    for (int n = int(random() % 8); n > 0; --n)
        text += kPieces[random() % kPieces.size()];
    return text;
}

line::LedgerRecord RandomRecord(std::mt19937 &random)
{
    line::LedgerRecord r;
    r.kind = RandomText(random);
    r.tool = RandomText(random);
    r.timeUtc = RandomText(random);
    r.station = int(random() % 3 == 0 ? -1 : int(random() % 100) - 50);
    r.host = RandomText(random);
    r.serial = RandomText(random);
    r.imageSha256 = RandomText(random);
    r.chipModel = random();
    r.chipVersion = random() % 2 ? random() : 0;
    for (int n = int(random() % 3); n > 0; --n)
        r.devices.push_back(RandomText(random));
    for (int n = int(random() % 4); n > 0; --n)
        r.steps.push_back({RandomText(random), RandomText(random)});
    r.verdict = RandomText(random);
    for (int n = int(random() % 3); n > 0; --n)
        r.differing.push_back({RandomText(random), RandomText(random), RandomText(random)});
    r.durationMs = random() % 2 ? std::int64_t(random()) * (random() % 2 ? 1 : -1000003) : 0;
    if (random() % 2)
        r.ports = {random() % 4 ? RandomText(random) : "", random() % 4 ? RandomText(random) : ""};
    return r;
}

} // namespace

TEST(LedgerJson, BodiesTimesAndFingerprintsAreWhatQtMadeOfThem)
{
    std::mt19937 random(7730);
    for (int i = 0; i < 3000; ++i) {
        const line::LedgerRecord r = RandomRecord(random);
        const std::string body = r.ToJson();
        ASSERT_EQ(body, QtBody(r, QtEscaped)) << "record " << i;
        // Read back by the kit and by Qt alike.
        const auto back = line::LedgerRecord::FromJson(body);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->ToJson(), body);
        const QJsonObject qt = QJsonDocument::fromJson(QByteArray::fromStdString(body)).object();
        EXPECT_EQ(back->serial, qt["serial"].toString().toStdString());
        EXPECT_EQ(back->station, qt["station"].toInt(-1));
        EXPECT_EQ(back->durationMs, qt["duration_ms"].toInteger());
    }

    // Texts Qt wrote with escapes the kit does not write, numbers as doubles, members missing or of
    // another type: read as Qt read them.
    const std::string foreign = R"({"serial":"A\u00e9\ud83d\udd0c\/","station":3.0,"chip_model":1e3,)"
                                R"("duration_ms":"12","devices":["x",1,null],"steps":{}})";
    const auto read = line::LedgerRecord::FromJson(foreign);
    ASSERT_TRUE(read);
    const QJsonObject qt = QJsonDocument::fromJson(QByteArray::fromStdString(foreign)).object();
    EXPECT_EQ(read->serial, qt["serial"].toString().toStdString());
    EXPECT_EQ(read->station, 3);
    EXPECT_EQ(read->chipModel, 1000u);
    EXPECT_EQ(read->durationMs, 0);
    EXPECT_EQ(read->devices, (std::vector<std::string>{"x", "", ""}));
    EXPECT_TRUE(read->steps.empty());
    for (const char *bad : {"", "[]", "{", "{\"a\":1} x", "{\"a\":01}", "{\"a\":\"\xff\"}", "{\"a\":\"\t\"}",
                            "{\"a\":tru}", "{'a':1}"})
        EXPECT_FALSE(line::LedgerRecord::FromJson(bad)) << bad;
    EXPECT_FALSE(line::json::Parse(std::string(300, '[') + std::string(300, ']')));
    EXPECT_TRUE(line::json::Parse(std::string(200, '[') + std::string(200, ']')));

    for (std::size_t size : {0, 1, 55, 56, 63, 64, 65, 119, 120, 1000}) {
        std::string bytes;
        for (std::size_t k = 0; k < size; ++k)
            bytes.push_back(char(random()));
        EXPECT_EQ(line::Sha256Hex(bytes.data(), bytes.size()),
                  QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
                      .toHex()
                      .toStdString())
            << size;
    }

    // The --json layout (records with their sequence numbers, empty lists included) as Qt indented it.
    std::string list = "[";
    for (int i = 0; i < 50; ++i)
        list.append(i ? "," : "").append(RandomRecord(random).ToJson()); // (GCC 12 -O3 misreads "," + string&&)
    for (const std::string &document : {list + "]", std::string("[]"), std::string(R"({"a":[],"b":{},"c":[{}],"d":-7})")}) {
        const auto parsed = line::json::Parse(document);
        ASSERT_TRUE(parsed) << document;
        EXPECT_EQ(line::json::Indented(*parsed),
                  QJsonDocument::fromJson(QByteArray::fromStdString(document)).toJson(QJsonDocument::Indented).toStdString());
    }

    const std::string now = line::NowUtc();
    const QDateTime parsed = QDateTime::fromString(QString::fromStdString(now), Qt::ISODateWithMs);
    ASSERT_TRUE(parsed.isValid()) << now;
    EXPECT_EQ(parsed.toUTC().toString(Qt::ISODateWithMs).toStdString(), now);
    EXPECT_LT(std::abs(parsed.msecsTo(QDateTime::currentDateTimeUtc())), 5000);
}
