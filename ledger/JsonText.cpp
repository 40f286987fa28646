#include "JsonText.h"

#include "Utf8.h"

#include <charconv>
#include <cmath>

namespace line::json {

std::string Quoted(std::string_view text)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (u) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (u < 0x20) {
                out += "\\u00";
                out.push_back(kHex[u >> 4]);
                out.push_back(kHex[u & 0xF]);
            } else {
                out.push_back(c);
            }
        }
    }
    out.push_back('"');
    return out;
}

const Value &Value::operator[](const std::string &name) const
{
    static const Value kNull;
    if (const auto *object = std::get_if<std::shared_ptr<Object>>(&v)) {
        const auto it = (*object)->find(name);
        if (it != (*object)->end())
            return it->second;
    }
    return kNull;
}

std::string Value::Text() const
{
    const auto *text = std::get_if<std::string>(&v);
    return text ? *text : std::string();
}

std::int64_t Value::Integer(std::int64_t otherwise) const
{
    if (const auto *whole = std::get_if<std::int64_t>(&v))
        return *whole;
    if (const auto *d = std::get_if<double>(&v)) {
        // 2^63 is the first double past the range
        if (std::isfinite(*d) && std::trunc(*d) == *d && *d >= -9223372036854775808.0 && *d < 9223372036854775808.0)
            return static_cast<std::int64_t>(*d);
    }
    return otherwise;
}

const Value::Array &Value::Elements() const
{
    static const Array kNone;
    const auto *array = std::get_if<std::shared_ptr<Array>>(&v);
    return array ? **array : kNone;
}

void Value::Set(const std::string &name, Value member)
{
    if (!IsObject())
        v = std::make_shared<Object>();
    (*std::get<std::shared_ptr<Object>>(v))[name] = std::move(member);
}

namespace {

void WriteIndented(const Value &value, std::string &out, int depth)
{
    const std::string inner(std::size_t(4 * (depth + 1)), ' '), outer(std::size_t(4 * depth), ' ');
    if (const auto *array = std::get_if<std::shared_ptr<Value::Array>>(&value.v)) {
        out += "[\n";
        for (std::size_t i = 0; i < (*array)->size(); ++i) {
            out += inner;
            WriteIndented((**array)[i], out, depth + 1);
            out += i + 1 < (*array)->size() ? ",\n" : "\n";
        }
        out += outer + "]";
    } else if (const auto *object = std::get_if<std::shared_ptr<Value::Object>>(&value.v)) {
        out += "{\n";
        std::size_t left = (*object)->size();
        for (const auto &[name, member] : **object) {
            out += inner + Quoted(name) + ": ";
            WriteIndented(member, out, depth + 1);
            out += --left ? ",\n" : "\n";
        }
        out += outer + "}";
    } else if (const auto *text = std::get_if<std::string>(&value.v)) {
        out += Quoted(*text);
    } else if (const auto *whole = std::get_if<std::int64_t>(&value.v)) {
        out += std::to_string(*whole);
    } else if (const auto *d = std::get_if<double>(&value.v)) {
        if (std::isfinite(*d)) {
            char text[32];
            const auto [end, error] = std::to_chars(text, text + sizeof text, *d);
            out.append(text, error == std::errc() ? end : text);
        } else {
            out += "null";
        }
    } else if (const auto *b = std::get_if<bool>(&value.v)) {
        out += *b ? "true" : "false";
    } else {
        out += "null";
    }
}

constexpr int kMaxDepth = 256;

class Parser {
public:
    explicit Parser(std::string_view text) : m_text(text) {}

    std::optional<Value> Document()
    {
        Value value;
        if (!ParseValue(value, 0))
            return std::nullopt;
        SkipSpace();
        if (m_at != m_text.size())
            return std::nullopt;
        return value;
    }

private:
    std::string_view m_text;
    std::size_t m_at = 0;

    bool AtEnd() const { return m_at >= m_text.size(); }
    char Peek() const { return AtEnd() ? '\0' : m_text[m_at]; }
    void SkipSpace()
    {
        while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r'))
            ++m_at;
    }
    bool Literal(std::string_view word)
    {
        if (m_text.substr(m_at, word.size()) != word)
            return false;
        m_at += word.size();
        return true;
    }

    bool ParseValue(Value &out, int depth)
    {
        if (depth > kMaxDepth)
            return false;
        SkipSpace();
        switch (Peek()) {
        case '{': return ParseObject(out, depth);
        case '[': return ParseArray(out, depth);
        case '"': {
            std::string text;
            if (!ParseString(text))
                return false;
            out.v = std::move(text);
            return true;
        }
        case 't': out.v = true; return Literal("true");
        case 'f': out.v = false; return Literal("false");
        case 'n': out.v = nullptr; return Literal("null");
        default: return ParseNumber(out);
        }
    }

    bool ParseObject(Value &out, int depth)
    {
        ++m_at; // '{'
        auto object = std::make_shared<Value::Object>();
        SkipSpace();
        if (Peek() == '}') {
            ++m_at;
            out.v = std::move(object);
            return true;
        }
        for (;;) {
            SkipSpace();
            std::string name;
            if (Peek() != '"' || !ParseString(name))
                return false;
            SkipSpace();
            if (Peek() != ':')
                return false;
            ++m_at;
            Value member;
            if (!ParseValue(member, depth + 1))
                return false;
            (*object)[std::move(name)] = std::move(member);
            SkipSpace();
            if (Peek() == ',') {
                ++m_at;
                continue;
            }
            if (Peek() != '}')
                return false;
            ++m_at;
            out.v = std::move(object);
            return true;
        }
    }

    bool ParseArray(Value &out, int depth)
    {
        ++m_at; // '['
        auto array = std::make_shared<Value::Array>();
        SkipSpace();
        if (Peek() == ']') {
            ++m_at;
            out.v = std::move(array);
            return true;
        }
        for (;;) {
            Value element;
            if (!ParseValue(element, depth + 1))
                return false;
            array->push_back(std::move(element));
            SkipSpace();
            if (Peek() == ',') {
                ++m_at;
                continue;
            }
            if (Peek() != ']')
                return false;
            ++m_at;
            out.v = std::move(array);
            return true;
        }
    }

    bool Hex4(char32_t &value)
    {
        if (m_at + 4 > m_text.size())
            return false;
        unsigned v = 0;
        const auto [end, error] = std::from_chars(m_text.data() + m_at, m_text.data() + m_at + 4, v, 16);
        if (error != std::errc() || end != m_text.data() + m_at + 4)
            return false;
        m_at += 4;
        value = v;
        return true;
    }

    // A raw UTF-8 sequence inside a string: well formed, shortest form, no surrogate.
    bool CopyUtf8(std::string &out)
    {
        const std::size_t length = platform::utf8::Decode(m_text, m_at).second;
        if (!length)
            return false;
        out.append(m_text.substr(m_at, length));
        m_at += length;
        return true;
    }

    bool ParseString(std::string &out)
    {
        ++m_at; // '"'
        for (;;) {
            if (AtEnd())
                return false;
            const auto c = static_cast<unsigned char>(m_text[m_at]);
            if (c == '"') {
                ++m_at;
                return true;
            }
            if (c < 0x20)
                return false;
            if (c >= 0x80) {
                if (!CopyUtf8(out))
                    return false;
                continue;
            }
            ++m_at;
            if (c != '\\') {
                out.push_back(char(c));
                continue;
            }
            if (AtEnd())
                return false;
            const char e = m_text[m_at++];
            switch (e) {
            case '"': out.push_back('"'); break;
            case '\\': out.push_back('\\'); break;
            case '/': out.push_back('/'); break;
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'u': {
                char32_t cp;
                if (!Hex4(cp))
                    return false;
                if (cp >= 0xD800 && cp <= 0xDBFF && m_text.substr(m_at, 2) == "\\u") {
                    const std::size_t back = m_at;
                    m_at += 2;
                    char32_t low;
                    if (Hex4(low) && low >= 0xDC00 && low <= 0xDFFF)
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    else
                        m_at = back;
                }
                // A surrogate without its partner stands for nothing a text can hold.
                platform::utf8::Append(out, cp >= 0xD800 && cp <= 0xDFFF ? platform::utf8::kReplacement : cp);
                break;
            }
            default: return false;
            }
        }
    }

    bool ParseNumber(Value &out)
    {
        const std::size_t start = m_at;
        if (Peek() == '-')
            ++m_at;
        if (!(Peek() >= '0' && Peek() <= '9'))
            return false;
        if (Peek() == '0')
            ++m_at;
        else
            while (Peek() >= '0' && Peek() <= '9')
                ++m_at;
        bool whole = true;
        if (Peek() == '.') {
            whole = false;
            ++m_at;
            if (!(Peek() >= '0' && Peek() <= '9'))
                return false;
            while (Peek() >= '0' && Peek() <= '9')
                ++m_at;
        }
        if (Peek() == 'e' || Peek() == 'E') {
            whole = false;
            ++m_at;
            if (Peek() == '+' || Peek() == '-')
                ++m_at;
            if (!(Peek() >= '0' && Peek() <= '9'))
                return false;
            while (Peek() >= '0' && Peek() <= '9')
                ++m_at;
        }
        const char *first = m_text.data() + start, *last = m_text.data() + m_at;
        if (whole) {
            std::int64_t value = 0;
            const auto [end, error] = std::from_chars(first, last, value);
            if (error == std::errc() && end == last) {
                out.v = value;
                return true;
            }
        }
        double value = 0;
        const auto [end, error] = std::from_chars(first, last, value);
        if (end != last || (error != std::errc() && error != std::errc::result_out_of_range))
            return false;
        out.v = value;
        return true;
    }
};

} // namespace

std::string Indented(const Value &value)
{
    std::string out;
    WriteIndented(value, out, 0);
    return out + "\n";
}

std::optional<Value> Parse(std::string_view text)
{
    return Parser(text).Document();
}

} // namespace line::json
