#include "format.hpp"

#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace vesk::format {
namespace {

static_assert(std::endian::native == std::endian::little ||
                  std::endian::native == std::endian::big,
              "mixed-endian hosts are not supported");
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// The one element a float array accepts.
constexpr std::size_t kElementSize = 8;
constexpr const char* kElementName = "'float64_t'";

// Offsets are only compared and printed, never used to address memory.
// Clamping them (and repeat counts) far below SIZE_MAX keeps huge counts from
// wrapping around and leaves room for rounding up to an alignment.
constexpr std::size_t kMaxOffset = static_cast<std::size_t>(PTRDIFF_MAX) / 2;

std::size_t sat_add(std::size_t a, std::size_t b) {
    return b > kMaxOffset - a ? kMaxOffset : a + b;
}

std::size_t sat_mul(std::size_t a, std::size_t b) {
    return a != 0 && b > kMaxOffset / a ? kMaxOffset : a * b;
}

struct Code {
    char code;
    std::size_t native_size;
    std::size_t native_align;
    std::size_t standard_size;  // 0: the code has no standard size
    bool real;                  // real floating kind
    const char* description;
    const char* complex_description;  // only for codes that "Z" may precede
};

// Native sizes and alignments come from the compiler, so they are those of
// the platform the module is built for (long and long double vary).
constexpr Code kCodes[] = {
    {'?', sizeof(bool), alignof(bool), 1, false, "'bool'", nullptr},
    {'c', sizeof(char), alignof(char), 1, false, "'char'", nullptr},
    {'b', sizeof(signed char), alignof(signed char), 1, false, "'signed char'", nullptr},
    {'B', sizeof(unsigned char), alignof(unsigned char), 1, false, "'unsigned char'", nullptr},
    {'h', sizeof(short), alignof(short), 2, false, "'short'", nullptr},
    {'H', sizeof(unsigned short), alignof(unsigned short), 2, false, "'unsigned short'", nullptr},
    {'i', sizeof(int), alignof(int), 4, false, "'int'", nullptr},
    {'I', sizeof(unsigned int), alignof(unsigned int), 4, false, "'unsigned int'", nullptr},
    {'l', sizeof(long), alignof(long), 4, false, "'long'", nullptr},
    {'L', sizeof(unsigned long), alignof(unsigned long), 4, false, "'unsigned long'", nullptr},
    {'q', sizeof(long long), alignof(long long), 8, false, "'long long'", nullptr},
    {'Q', sizeof(unsigned long long), alignof(unsigned long long), 8, false,
     "'unsigned long long'", nullptr},
    {'f', sizeof(float), alignof(float), 4, true, "'float'", "'complex float'"},
    {'d', sizeof(double), alignof(double), 8, true, "'double'", "'complex double'"},
    {'g', sizeof(long double), alignof(long double), 0, true, "'long double'",
     "'complex long double'"},
    {'O', sizeof(void*), alignof(void*), sizeof(void*), false, "Python object", nullptr},
    {'s', 1, 1, 1, false, "a string", nullptr},
    {'p', 1, 1, 1, false, "a string", nullptr},
};

const Code* find_code(char c) {
    for (const Code& code : kCodes)
        if (code.code == c) return &code;
    return nullptr;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Offending characters end up in a Python str: bytes above 0x7f are given as
// the code points U+0080..U+00FF so that the message stays valid UTF-8.
void append_char(std::string& out, char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x80) {
        out += c;
    } else {
        out += static_cast<char>(0xC0 | (u >> 6));
        out += static_cast<char>(0x80 | (u & 0x3F));
    }
}

std::string quoted_char_message(const char* before, char c, const char* after) {
    std::string out = before;
    append_char(out, c);
    return out += after;
}

std::string not_understood(char c) {
    return quoted_char_message("Does not understand character buffer dtype format string ('",
                               c, "')");
}

std::string mismatch(const char* expected, const char* got) {
    return std::string("Buffer dtype mismatch, expected ") + expected + " but got " + got;
}

std::string offset_mismatch(std::size_t offset, std::size_t expected) {
    char buf[128];
    std::snprintf(buf, sizeof buf,
                  "Buffer dtype mismatch; next field is at offset %zu but %zu expected",
                  offset, expected);
    return buf;
}

std::string dims_mismatch(int expected, int got) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "Expected %d dimension(s), got %d", expected, got);
    return buf;
}

// Reads the format left to right, with a depth counter instead of recursion
// for records: a record is transparent here (its members are matched in turn),
// so only its nesting has to be tracked, and deep nesting costs nothing.
class Checker {
  public:
    explicit Checker(const char* fmt) : p_(fmt) {}

    std::string run() {
        for (;;) {
            char c = peek();
            const bool counted = is_digit(c);
            const std::size_t count = counted ? read_number() : 1;
            c = peek();
            switch (c) {
            case '\0':
                if (counted) return dangling_count();
                if (depth_ != 0) return "Unexpected end of format string, expected '}'";
                return finish();
            case '@': case '^': case '=': case '<': case '>': case '!':
                if (std::string err = set_mode(c); !err.empty()) return err;
                if (counted) return dangling_count();
                ++p_;
                break;
            case ':':
                if (counted) return dangling_count();
                if (!skip_field_name()) return "Unexpected end of format string, expected ':'";
                break;
            case '}':
                if (depth_ == 0) return not_understood(c);
                if (counted) return dangling_count();
                --depth_;
                ++p_;
                break;
            case 'T':
                ++p_;
                if (peek() != '{') return "Buffer acquisition: Expected '{' after 'T'";
                ++p_;
                if (matched_) return mismatch("end", "a struct");
                // One element can never be several copies of a record.
                if (count != 1) return mismatch(kElementName, "a struct");
                ++depth_;
                break;
            case '(':
                if (counted) return "Cannot handle repeated arrays in format string";
                return shape();
            case 'x':
                ++p_;
                offset_ = sat_add(offset_, count);
                break;
            case 'Z': {
                ++p_;
                const Code* code = find_code(peek());
                if (code == nullptr || code->complex_description == nullptr)
                    return "Unexpected format string character: 'Z'";
                ++p_;
                if (std::string err = place(*code, count, true); !err.empty()) return err;
                break;
            }
            default: {
                const Code* code = find_code(c);
                if (code == nullptr) return not_understood(c);
                ++p_;
                if (std::string err = place(*code, count, false); !err.empty()) return err;
                break;
            }
            }
        }
    }

  private:
    const char* p_;
    bool native_ = true;   // native sizes ("@", "^") or standard ones ("=", "<")
    bool aligned_ = true;  // "@" only
    bool matched_ = false;
    std::size_t offset_ = 0;
    std::size_t depth_ = 0;

    // Whitespace may appear anywhere outside field names, even inside a
    // number or between "Z" or "T" and what follows them.
    char peek() {
        while (*p_ == ' ' || *p_ == '\r' || *p_ == '\n') ++p_;
        return *p_;
    }

    std::size_t read_number() {
        std::size_t n = 0;
        while (is_digit(peek())) {
            n = sat_add(sat_mul(n, 10), static_cast<std::size_t>(*p_ - '0'));
            ++p_;
        }
        return n;
    }

    std::string set_mode(char c) {
        // Byte order other than the host's cannot be read as doubles directly.
        if ((c == '>' || c == '!') && kLittleEndian)
            return "Big-endian buffer not supported on little-endian compiler";
        if (c == '<' && !kLittleEndian)
            return "Little-endian buffer not supported on big-endian compiler";
        native_ = c == '@' || c == '^';
        aligned_ = c == '@';
        return {};
    }

    bool skip_field_name() {
        ++p_;  // opening ':'
        while (*p_ != '\0' && *p_ != ':') ++p_;
        if (*p_ == '\0') return false;
        ++p_;
        return true;
    }

    // A count not followed by anything it could repeat.
    std::string dangling_count() const {
        return mismatch(matched_ ? "end" : kElementName, "unparsable format string");
    }

    // The expected element has no shape, so any well-formed shape is refused
    // with its number of entries.
    std::string shape() {
        ++p_;  // '('
        int dims = 0;
        for (;;) {
            char c = peek();
            if (c == '\0') return "Unexpected end of format string, expected ')'";
            if (!is_digit(c)) return not_understood(c);
            read_number();
            if (dims < INT_MAX) ++dims;
            c = peek();
            if (c == ')') return dims_mismatch(0, dims);
            if (c == '\0') return "Unexpected end of format string, expected ')'";
            if (c != ',') return quoted_char_message("Expected a comma in format string, got '", c, "'");
            ++p_;
        }
    }

    // Places `count` items of one code. Equal codes that follow each other
    // add up their counts; placing them one run at a time gives the same
    // result, since everything after the element is refused and a count of 0
    // describes nothing.
    std::string place(const Code& code, std::size_t count, bool complex) {
        if (count == 0) return {};
        std::size_t size = native_ ? code.native_size : code.standard_size;
        if (complex) size *= 2;
        const char* description = complex ? code.complex_description : code.description;
        if (aligned_) {
            const std::size_t a = code.native_align;
            offset_ = (offset_ + a - 1) / a * a;
        }
        if (matched_) return mismatch("end", description);
        if (!code.real || complex || size != kElementSize) return mismatch(kElementName, description);
        if (offset_ != 0) return offset_mismatch(offset_, 0);
        matched_ = true;
        offset_ = kElementSize;
        if (count > 1) return mismatch("end", description);
        return {};
    }

    std::string finish() const {
        if (!matched_) return mismatch(kElementName, "end");
        // Trailing pad bytes make the element larger than one float64_t.
        if (offset_ != kElementSize) return offset_mismatch(offset_, kElementSize);
        return {};
    }
};

}  // namespace

std::string check_float64(const char* fmt) {
    return Checker(fmt != nullptr ? fmt : "B").run();
}

}  // namespace vesk::format
