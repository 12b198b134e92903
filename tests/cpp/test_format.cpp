// Unit tests of the float64 buffer-format checker. Standalone: no framework,
// no Python. Prints "N passed, M failed" last and exits non-zero on failure.
#include "../../src/vesk/cython_pid/extension/format.hpp"

#include <cstdio>
#include <string>

namespace {

int passed = 0;
int failed = 0;

std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

void check_at(int line, const std::string& fmt, const std::string& expected) {
    const std::string got = vesk::format::check_float64(fmt.c_str());
    if (got == expected) {
        ++passed;
        return;
    }
    ++failed;
    std::printf("line %d: format \"%s\"\n  expected: \"%s\"\n  got:      \"%s\"\n", line,
                printable(fmt).c_str(), printable(expected).c_str(), printable(got).c_str());
}

#define CHECK(fmt, expected) check_at(__LINE__, (fmt), (expected))

const std::string OK;  // accepted
const std::string BIG = "Big-endian buffer not supported on little-endian compiler";
const std::string TBRACE = "Buffer acquisition: Expected '{' after 'T'";
const std::string REPEATED = "Cannot handle repeated arrays in format string";
const std::string NO_PAREN = "Unexpected end of format string, expected ')'";
const std::string NO_BRACE = "Unexpected end of format string, expected '}'";
const std::string NO_COLON = "Unexpected end of format string, expected ':'";
const std::string ZCHAR = "Unexpected format string character: 'Z'";

std::string got(const std::string& description) {
    return "Buffer dtype mismatch, expected 'float64_t' but got " + description;
}
std::string after(const std::string& description) {
    return "Buffer dtype mismatch, expected end but got " + description;
}
std::string offset(std::size_t at, std::size_t expected) {
    return "Buffer dtype mismatch; next field is at offset " + std::to_string(at) + " but " +
           std::to_string(expected) + " expected";
}
std::string dims(int n) { return "Expected 0 dimension(s), got " + std::to_string(n); }
std::string unknown(const std::string& c) {
    return "Does not understand character buffer dtype format string ('" + c + "')";
}
std::string comma(const std::string& c) {
    return "Expected a comma in format string, got '" + c + "'";
}

// Native "g" is the element exactly when long double is a plain double.
const bool kLongDoubleIs8 = sizeof(long double) == 8;
const std::string NATIVE_G = kLongDoubleIs8 ? OK : got("'long double'");
const std::size_t kDoubleAlign = alignof(double);

void accepted() {
    CHECK("d", OK);
    CHECK("@d", OK);
    CHECK("=d", OK);
    CHECK("<d", OK);
    CHECK("^d", OK);
    CHECK("1d", OK);
    CHECK("01d", OK);
    CHECK("T{d:x:}", OK);
    CHECK("T{d}", OK);
    CHECK("T{d:a:}", OK);          // a one-field structured array
    CHECK("T{T{d}}", OK);
    CHECK("T{T{T{d:inner:}:mid:}:outer:}", OK);
    CHECK("T{}d", OK);              // an empty record describes nothing
    CHECK("T{<d}", OK);
    CHECK("<T{@d}", OK);
    CHECK("@=<^d", OK);
    CHECK(" d", OK);
    CHECK("d ", OK);
    CHECK("\r\n d \r\n", OK);
    CHECK(" T { d : name : } ", OK);
    CHECK("1 d", OK);
    CHECK(":name:d", OK);
    CHECK("d:name:", OK);
    CHECK(":a b}{)(:d", OK);       // anything goes inside a field name
    CHECK("::d::", OK);
    CHECK("0fd", OK);               // zero items describe nothing
    CHECK("d0f", OK);
    CHECK("0dd", OK);               // equal codes add up: one d
    CHECK("d0d", OK);
    CHECK("0xd", OK);
    CHECK("0Zdd", OK);
    CHECK("0sd", OK);
    CHECK("T{d}0x", OK);
    CHECK("g", NATIVE_G);
    CHECK("@g", NATIVE_G);
    CHECK("^g", NATIVE_G);
    CHECK("T{g}", NATIVE_G);
}

void big_endian() {
    CHECK(">d", BIG);
    CHECK("!d", BIG);
    CHECK("d>", BIG);
    CHECK("T{>d}", BIG);
    CHECK("2>d", BIG);
    CHECK("=!", BIG);
    CHECK(">", BIG);
    CHECK("f>", got("'float'"));    // the item comes first, so it is refused first
}

void single_items() {
    CHECK("?", got("'bool'"));
    CHECK("c", got("'char'"));
    CHECK("b", got("'signed char'"));
    CHECK("B", got("'unsigned char'"));
    CHECK("h", got("'short'"));
    CHECK("H", got("'unsigned short'"));
    CHECK("i", got("'int'"));
    CHECK("I", got("'unsigned int'"));
    CHECK("l", got("'long'"));
    CHECK("L", got("'unsigned long'"));
    CHECK("=l", got("'long'"));
    CHECK("=L", got("'unsigned long'"));
    CHECK("q", got("'long long'"));
    CHECK("Q", got("'unsigned long long'"));
    CHECK("=q", got("'long long'"));
    CHECK("f", got("'float'"));
    CHECK("=f", got("'float'"));
    CHECK("2f", got("'float'"));
    CHECK("Zf", got("'complex float'"));
    CHECK("Zd", got("'complex double'"));
    CHECK("=Zd", got("'complex double'"));
    CHECK("Zg", got("'complex long double'"));
    CHECK("Z d", got("'complex double'"));
    CHECK("=g", got("'long double'"));
    CHECK("<g", got("'long double'"));
    CHECK("^Zg", got("'complex long double'"));
    CHECK("O", got("Python object"));
    CHECK("=O", got("Python object"));
    CHECK("s", got("a string"));
    CHECK("p", got("a string"));
    CHECK("8s", got("a string"));
    CHECK("T{f}", got("'float'"));
    CHECK("T{i:a:d:b:}", got("'int'"));
    CHECK("xf", got("'float'"));    // the type is checked before the position
    CHECK("0T{d}", got("a struct"));
    CHECK("2T{d}", got("a struct"));
    CHECK("2T{}", got("a struct"));
    CHECK("1T{d}", OK);
}

void more_than_one() {
    CHECK("dd", after("'double'"));
    CHECK("2d", after("'double'"));
    CHECK("d d", after("'double'"));
    CHECK("d=d", after("'double'"));
    CHECK("T{d:a:d:b:}", after("'double'"));
    CHECK("T{=d:a:@i:b:}", after("'int'"));
    CHECK("T{d}d", after("'double'"));
    CHECK("T{d}T{d}", after("a struct"));
    CHECK("dT{}", after("a struct"));
    CHECK("d T{ }", after("a struct"));
    CHECK("df", after("'float'"));
    CHECK("dZf", after("'complex float'"));
    CHECK("d?", after("'bool'"));
    CHECK("dO", after("Python object"));
    CHECK("d3s", after("a string"));
    CHECK("dl", after("'long'"));
    CHECK("dg", after("'long double'"));
    CHECK("99999999999999999999d", after("'double'"));
    CHECK("18446744073709551617d", after("'double'"));  // 2**64 + 1 must not wrap to 1
    CHECK("18446744073709551616d", after("'double'"));  // nor 2**64 to 0
    CHECK("d99999999999999999999d", after("'double'"));
}

void empty_and_end() {
    CHECK("", got("end"));
    CHECK(" ", got("end"));
    CHECK("@", got("end"));
    CHECK("x", got("end"));
    CHECK(":name:", got("end"));
    CHECK("T{}", got("end"));
    CHECK("T{x}", got("end"));
    CHECK("0d", got("end"));
    CHECK("T{:a:}", got("end"));
}

void offsets() {
    CHECK("xd", offset(kDoubleAlign, 0));
    CHECK("@xd", offset(kDoubleAlign, 0));
    CHECK("=xd", offset(1, 0));
    CHECK("^xd", offset(1, 0));
    CHECK("<3xd", offset(3, 0));
    CHECK("8xd", offset(8, 0));
    CHECK("9xd", offset(kDoubleAlign == 8 ? 16 : 9, 0));
    CHECK("xxd", offset(kDoubleAlign, 0));
    CHECK("=xxd", offset(2, 0));
    CHECK("=x x 2xd", offset(4, 0));
    CHECK("T{xxxxxxxxd:a:}", offset(8, 0));
    CHECK("T{x}d", offset(kDoubleAlign, 0));
    CHECK("=T{x}T{x}d", offset(2, 0));
    CHECK("x=d", offset(1, 0));
    CHECK("=x@d", offset(kDoubleAlign, 0));
    CHECK("dx", offset(9, 8));      // trailing pad makes the element larger
    CHECK("d4x", offset(12, 8));
    CHECK("T{d:a:x}", offset(9, 8));
    CHECK("T{d}x", offset(9, 8));
    CHECK("dxd", after("'double'"));
    // Pads saturate instead of wrapping around.
    const std::string huge = vesk::format::check_float64("=99999999999999999999xd");
    if (huge.rfind("Buffer dtype mismatch; next field is at offset ", 0) == 0 &&
        huge.find(" but 0 expected") != std::string::npos &&
        huge.find("offset 0 ") == std::string::npos) {
        ++passed;
    } else {
        ++failed;
        std::printf("huge pad: got \"%s\"\n", printable(huge).c_str());
    }
    CHECK("=18446744073709551616xd", vesk::format::check_float64("=99999999999999999999xd"));
    CHECK("=18446744073709551615x 1xd", vesk::format::check_float64("=99999999999999999999xd"));
}

void z_and_t_syntax() {
    CHECK("Z", ZCHAR);
    CHECK("Zi", ZCHAR);
    CHECK("ZZd", ZCHAR);
    CHECK("ZT{d}", ZCHAR);
    CHECK("dZ", ZCHAR);
    CHECK("dZq", ZCHAR);
    CHECK("T", TBRACE);
    CHECK("Td", TBRACE);
    CHECK("T(", TBRACE);
    CHECK("T}", TBRACE);
    CHECK("dT", TBRACE);
    CHECK("T {d}", OK);
    CHECK("T{Td}", TBRACE);
}

void shapes() {
    CHECK("(2)d", dims(1));
    CHECK("(2,3)d", dims(2));
    CHECK("(1)d", dims(1));
    CHECK("(0)d", dims(1));
    CHECK("(2)", dims(1));
    CHECK("( 2 , 3 , 4 )d", dims(3));
    CHECK("(2 3)d", dims(1));       // whitespace inside a number is skipped
    CHECK("T{(2)d:a:}", dims(1));
    CHECK("d(2)d", dims(1));
    CHECK("(99999999999999999999)d", dims(1));
    CHECK("2(3)d", REPEATED);
    CHECK("0(3)d", REPEATED);
    CHECK("2 (3)d", REPEATED);
    CHECK("0(", REPEATED);
    CHECK("(", NO_PAREN);
    CHECK("(2", NO_PAREN);
    CHECK("(2,", NO_PAREN);
    CHECK("(2, ", NO_PAREN);
    CHECK("(2;3)d", comma(";"));
    CHECK("(2d", comma("d"));
    CHECK("(2}", comma("}"));
    CHECK("(a)d", unknown("a"));
    CHECK("()d", unknown(")"));
    CHECK("(2,)d", unknown(")"));
    CHECK("(,2)d", unknown(","));
    CHECK("(-1)d", unknown("-"));
    std::string many = "(";
    for (int i = 0; i < 1000; ++i) many += i == 0 ? "1" : ",1";
    CHECK(many + ")d", dims(1000));
}

void unknown_characters() {
    CHECK("e", unknown("e"));
    CHECK("w", unknown("w"));
    CHECK("P", unknown("P"));
    CHECK("u", unknown("u"));
    CHECK("n", unknown("n"));
    CHECK("N", unknown("N"));
    CHECK("2e", unknown("e"));
    CHECK("de", unknown("e"));
    CHECK("\td", unknown("\t"));   // only space, CR and LF are whitespace
    CHECK("d\t", unknown("\t"));
    CHECK("}", unknown("}"));
    CHECK("d}", unknown("}"));
    CHECK("T{d}}", unknown("}"));
    CHECK(")", unknown(")"));
    CHECK("d)", unknown(")"));
    CHECK("{d}", unknown("{"));
    CHECK("T{{d}}", unknown("{"));
    CHECK("-d", unknown("-"));
    CHECK("+d", unknown("+"));
    CHECK("\x7f", unknown("\x7f"));
    // Bytes above 0x7f are reported as code points U+0080..U+00FF in UTF-8.
    CHECK("\xe9", unknown("\xc3\xa9"));
    CHECK("\xff" "d", unknown("\xc3\xbf"));
    CHECK("(2\x80)", comma("\xc2\x80"));
}

void dangling_counts_and_unterminated() {
    CHECK("2", got("unparsable format string"));
    CHECK("d2", after("unparsable format string"));
    CHECK("2@d", got("unparsable format string"));
    CHECK("2:a:d", got("unparsable format string"));
    CHECK("T{d2}", after("unparsable format string"));
    CHECK("T{2}", got("unparsable format string"));
    CHECK("1 2 d", after("'double'"));  // one count, 12
    CHECK("T{", NO_BRACE);
    CHECK("T{d", NO_BRACE);
    CHECK("T{d:a:", NO_BRACE);
    CHECK("T{T{d}", NO_BRACE);
    CHECK("T{x", NO_BRACE);
    CHECK(":", NO_COLON);
    CHECK(":name", NO_COLON);
    CHECK("d:name", NO_COLON);
    CHECK("T{d:name}", NO_COLON);
    CHECK("T{d:a}:", NO_BRACE);
}

void deep_nesting() {
    const int depth = 100000;
    std::string open, close;
    for (int i = 0; i < depth; ++i) {
        open += "T{";
        close += '}';
    }
    CHECK(open + "d" + close, OK);
    CHECK(open + "d" + close + "}", unknown("}"));
    CHECK(open + "d" + close.substr(1), NO_BRACE);
    CHECK(open + "f" + close, got("'float'"));
    CHECK(open + close + "d", OK);
    CHECK(open + "dd" + close, after("'double'"));
    std::string pads(200000, 'x');
    CHECK("=" + pads + "d", offset(200000, 0));
    std::string spaces(100000, ' ');
    CHECK(spaces + "d" + spaces, OK);
}

void null_pointer() {
    // The buffer protocol reads a missing format as "B".
    const std::string got_null = vesk::format::check_float64(nullptr);
    if (got_null == got("'unsigned char'")) {
        ++passed;
    } else {
        ++failed;
        std::printf("nullptr: got \"%s\"\n", printable(got_null).c_str());
    }
}

}  // namespace

int main() {
    accepted();
    big_endian();
    single_items();
    more_than_one();
    empty_and_end();
    offsets();
    z_and_t_syntax();
    shapes();
    unknown_characters();
    dangling_counts_and_unterminated();
    deep_nesting();
    null_pointer();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
