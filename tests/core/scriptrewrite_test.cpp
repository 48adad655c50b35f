#include "core/scriptrewrite.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

using gemlo::core::rewrite_property_script;

namespace {

// The reference a name becomes, with a single-quoted literal.
std::string ref(const std::string &literal) {
    return "self.dob.prop['" + literal + "'][self.dob.prop_array_key][:]";
}
std::string dref(const std::string &literal) {
    return "self.dob.prop[\"" + literal + "\"][self.dob.prop_array_key][:]";
}

struct Case {
    const char *what;
    std::vector<std::string> names;
    std::string script, expected;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.what; }

class Rewrite : public ::testing::TestWithParam<Case> {};

TEST_P(Rewrite, GivesExactText) {
    const Case &c = GetParam();
    EXPECT_EQ(rewrite_property_script(c.script, c.names), c.expected) << c.what;
}

const std::vector<std::string> kVp = {"vp", "vp0"};

INSTANTIATE_TEST_SUITE_P(
    Cases, Rewrite,
    ::testing::Values(
        Case{"no names", kVp, "x = 1  # ok\n", "x = 1  # ok\n"},
        Case{"the basic form", {"vp"}, "vp = vp + 1", ref("vp") + " = " + ref("vp") + " + 1"},
        Case{"longest name wins, in any order", kVp, "vp0=vp*vp0",
             ref("vp0") + "=" + ref("vp") + "*" + ref("vp0")},
        Case{"never inside an identifier", kVp, "vpx = xvp + vp_1 + vp0b + 2vp",
             "vpx = xvp + vp_1 + vp0b + 2vp"},
        Case{"non-ASCII letters are identifier characters",
             {"vp"},
             "évp + vpé + vp",
             "évp + vpé + " + ref("vp")},
        Case{"inserted text is never scanned",
             {"prop", "dob", "self", "vp"},
             "vp = dob",
             ref("vp") + " = " + ref("dob")},
        Case{"keywords and spaces are plain text",
             {"if", "a b", "a"},
             "if = a b + a bc",
             ref("if") + " = " + ref("a b") + " + " + ref("a") + " bc"},
        Case{"regex characters are plain text",
             {"x+y(1)", "v.*"},
             "z = x+y(1) * v.*",
             "z = " + ref("x+y(1)") + " * " + ref("v.*")},
        Case{"strings and comments stay",
             {"vp"},
             "s = 'vp' + \"vp\" + '''vp\n''' + b'vp' # vp\nvp",
             "s = 'vp' + \"vp\" + '''vp\n''' + b'vp' # vp\n" + ref("vp")},
        Case{"escaped quotes and raw strings",
             {"vp"},
             R"(a = 'x\'vp' + r"\"vp" + vp)",
             R"(a = 'x\'vp' + r"\"vp" + )" + ref("vp")},
        Case{"a prefix before a quote starts a string",
             {"rb", "f"},
             "rb'f' + f\"{f}\" + f",
             "rb'f' + f\"{" + ref("f") + "}\" + " + ref("f")},
        Case{"f-string fields are code, the rest text",
             {"vp", "r"},
             "f\"vp {vp!r:>{vp}} {{vp}} {vp=}\"",
             "f\"vp {" + ref("vp") + "!r:>{" + ref("vp") + "}} {{vp}} {" + ref("vp") + "=}\""},
        Case{"fields nest brackets and strings",
             {"vp"},
             "f\"{ {'vp': vp}['vp'] }\"",
             "f\"{ {'vp': " + ref("vp") + "}['vp'] }\""},
        Case{"in a single-quoted f-string the literal takes double quotes",
             {"vp"},
             "f'{vp}' + f'''{vp}'''",
             "f'{" + dref("vp") + "}' + f'''{" + ref("vp") + "}'''"},
        Case{"named escapes are no fields",
             {"vp"},
             "f\"\\N{vp}{vp}\" + rf\"\\{vp}\"",
             "f\"\\N{vp}{" + ref("vp") + "}\" + rf\"\\{" + ref("vp") + "}\""},
        Case{"quotes, backslashes and newlines in a name",
             {"it's", "a\\b", "l\n2"},
             "it's + a\\b + l\n2",
             ref("it\\'s") + " + " + ref("a\\\\b") + " + " + ref("l\\x0a2")},
        Case{"an unterminated string ends at its line",
             {"vp"},
             "s = 'vp\nvp",
             "s = 'vp\n" + ref("vp")},
        Case{"line continuation in code", {"vp"}, "x = 1 + \\\n vp", "x = 1 + \\\n " + ref("vp")},
        Case{"empty names never match", {""}, "x", "x"}));

}  // namespace
