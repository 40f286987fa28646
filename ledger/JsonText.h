#pragma once
// The little JSON the ledger needs, in plain C++ (the ledger is built where Qt is not): a compact
// writer whose output is byte for byte what the kit has always stored, and a reader that takes any
// JSON text and never trusts it (bounded nesting, checked UTF-8 and numbers).

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace line::json {

// `text` as a JSON string with its quotes: '"', '\\' and control characters escaped, everything else
// (UTF-8 included) as it is.
std::string Quoted(std::string_view text);

// A parsed JSON value. Numbers keep whether they were written as whole numbers.
struct Value {
    using Array = std::vector<Value>;
    using Object = std::map<std::string, Value>; // a name given twice: the last one counts
    std::variant<std::nullptr_t, bool, std::int64_t, double, std::string, std::shared_ptr<Array>,
                 std::shared_ptr<Object>>
        v = nullptr;

    // The member `name` of an object; a null value for anything else.
    const Value &operator[](const std::string &name) const;
    // The string, or "" when it is none.
    std::string Text() const;
    // A whole number (also a double without fraction that fits), or `otherwise`.
    std::int64_t Integer(std::int64_t otherwise = 0) const;
    // The elements of an array; none for anything else.
    const Array &Elements() const;
    bool IsObject() const { return std::holds_alternative<std::shared_ptr<Object>>(v); }
    // Sets the member `name` of an object (a null value becomes an empty object first).
    void Set(const std::string &name, Value member);
};

// `value` as an indented document: four spaces a level, members in name order, a line break at the
// end (the layout the kit's --json output has always had).
std::string Indented(const Value &value);

// The value of a whole JSON text; nothing when it is not one (trailing text, bad UTF-8, nesting
// deeper than 256).
std::optional<Value> Parse(std::string_view text);

} // namespace line::json
