#include "TestObserver.h"

#include <cstdio>
#include <cstring>
#include <set>

namespace production {

class ObservedSide : public SideDevice {
public:
    ObservedSide(ObservingCableIo &io, std::unique_ptr<SideDevice> inner) : m_io(io), m_inner(std::move(inner)) {}
    bool Open(const std::string &path) override { return m_inner && m_inner->Open(path); }
    void Close() override
    {
        if (m_inner)
            m_inner->Close();
    }
    bool QueryChip(uint32_t *model, uint32_t *version) override
    {
        uint32_t m = 0, v = 0;
        if (!m_inner || !m_inner->QueryChip(&m, &v))
            return false;
        {
            std::lock_guard lock(m_io.m_mutex);
            m_io.m_seen.chipModel = m;
            m_io.m_seen.chipVersion = v;
        }
        if (model)
            *model = m;
        if (version)
            *version = v;
        return true;
    }
    bool ReadEeprom(uint8_t *dest, uint16_t offset, uint16_t length) override
    {
        if (!m_inner || !m_inner->ReadEeprom(dest, offset, length))
            return false;
        if (offset == 0 && length == EepromImage::kEepromSize) {
            std::array<uint8_t, EepromImage::kEepromSize> bytes;
            std::memcpy(bytes.data(), dest, bytes.size());
            std::lock_guard lock(m_io.m_mutex);
            m_io.m_seen.eeprom = bytes;
        }
        return true;
    }
    bool SendPrepareRequest() override { return m_inner && m_inner->SendPrepareRequest(); }

private:
    ObservingCableIo &m_io;
    std::unique_ptr<SideDevice> m_inner;
};

std::unique_ptr<SideDevice> ObservingCableIo::NewSide()
{
    return std::make_unique<ObservedSide>(*this, m_inner.NewSide());
}

ObservingCableIo::Seen ObservingCableIo::Observed() const
{
    std::lock_guard lock(m_mutex);
    return m_seen;
}

namespace {

std::string Hex(uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

std::string Quoted(const EepromImage &image, int index, bool *readable)
{
    char text[256] = {};
    *readable = image.GetString(index, text, sizeof text);
    if (!*readable)
        return "(none)";
    std::string quoted = "\"";
    quoted += text;
    quoted += '"';
    return quoted;
}

} // namespace

std::vector<FieldDifference> DifferingFields(const uint8_t *expected, const uint8_t *found, bool maskSerial,
                                             std::size_t limit)
{
    EepromImage want, got;
    std::memcpy(want.Bytes(), expected, EepromImage::kEepromSize);
    std::memcpy(got.Bytes(), found, EepromImage::kEepromSize);
    // The texts are shown as they are; the masked copies only decide whether they differ.
    const EepromImage shownWant = want, shownGot = got;
    if (maskSerial) {
        const auto length = static_cast<uint16_t>(std::strlen(kFixedSerial));
        want.SetProperty(EEP_SERIAL_STRING, kFixedSerial, length);
        got.SetProperty(EEP_SERIAL_STRING, kFixedSerial, length);
    }
    const uint8_t *w = want.Bytes();
    const uint8_t *g = got.Bytes();

    std::vector<FieldDifference> out;
    std::set<std::size_t> covered;
    auto word = [&](const char *name, std::size_t at) {
        covered.insert(at);
        covered.insert(at + 1);
        const uint32_t a = w[at] | w[at + 1] << 8, b = g[at] | g[at + 1] << 8;
        if (a != b)
            out.push_back({name, Hex(a, 4), Hex(b, 4)});
    };
    auto byte = [&](const char *name, std::size_t at) {
        covered.insert(at);
        if (w[at] != g[at])
            out.push_back({name, std::to_string(w[at]), std::to_string(g[at])});
    };
    word("vendor ID", 2);
    word("product ID 1", 4);
    word("revision", 6);
    byte("serial index", 22);
    byte("bPidSelect", 23);
    word("product ID 2", 24);
    word("product ID 3", 26);
    word("product ID 4", 28);

    // The texts: when one differs the string area is explained by it; its bytes are not listed again.
    bool textDiffers = false;
    const struct {
        const char *name;
        int index;
    } texts[] = {{"vendor text", 1}, {"product text", 2}, {"serial text", 3}};
    for (const auto &t : texts) {
        bool readable = false;
        if (Quoted(want, t.index, &readable) != Quoted(got, t.index, &readable)) {
            out.push_back({t.name, Quoted(shownWant, t.index, &readable), Quoted(shownGot, t.index, &readable)});
            textDiffers = true;
        }
    }
    if (textDiffers)
        for (std::size_t at = EepromImage::kStringsBegin; at < EepromImage::kStringsEnd; ++at)
            covered.insert(at);

    std::size_t other = 0;
    for (std::size_t at = 0; at < EepromImage::kEepromSize; ++at) {
        if (covered.count(at) || w[at] == g[at])
            continue;
        if (out.size() + 1 < limit)
            out.push_back({"byte 0x" + Hex(uint32_t(at), 2), Hex(w[at], 2), Hex(g[at], 2)});
        else
            ++other;
    }
    if (other)
        out.push_back({"more bytes", "", std::to_string(other) + " more differ"});
    return out;
}

} // namespace production
