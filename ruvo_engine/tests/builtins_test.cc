// Builtin goals and the number and text rules behind them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "ruvo_engine/tests/engine_test_util.h"

namespace ruvo::test {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class BuiltinsTest : public StoreTest {
 protected:
  // Runs a builtin written "word|arg|arg..." on one match in which B is
  // bound to the symbol "42". A single uppercase letter is a variable, "i:N"
  // an Int, "f:X" a Float, "#N" a raw symbol id, "s:N" a Str, anything else
  // the text of a symbol. Gives "no" when the match is dropped, else the new
  // bindings ("Z=3", "#N" for an id without text) or "yes" when there are
  // none.
  std::string run(const std::string& text) {
    std::vector<std::string> parts;
    std::istringstream in(text + "|");
    for (std::string p; std::getline(in, p, '|');) parts.push_back(p);
    std::vector<Term> args;
    for (size_t i = 1; i < parts.size(); ++i) {
      const std::string& a = parts[i];
      const std::string rest = a.substr(std::min<size_t>(a.size(), a[0] == '#' ? 1 : 2));
      args.push_back(a.size() == 1 && std::isupper(static_cast<unsigned char>(a[0]))
                         ? Term::var(a)
                     : a.starts_with("i:") ? Term::integer(std::stoll(rest))
                     : a.starts_with("f:") ? Term::floating(std::strtod(rest.c_str(), nullptr))
                     : a.starts_with("#")  ? Term::constant(std::stoull(rest))
                     : a.starts_with("s:") ? Term::str(std::stoull(rest))
                                           : Term::constant(sym(a)));
    }
    BodyMatch seed;
    seed.bindings.bind("B", sym("42"));
    const auto out = eval(BuiltinGoal{builtin_from_word(parts[0]).value(), args}, {seed});
    if (out.empty()) return "no";
    EXPECT_EQ(out.size(), 1u) << text;
    std::string bound;
    for (const auto& [name, value] : out[0].bindings.items()) {
      if (name == "B") continue;
      const auto t = ok(store.symbols.get_text(value));
      bound += (bound.empty() ? "" : " ") + std::string(name) + "=" +
               t.value_or("#" + std::to_string(value));
    }
    return bound.empty() ? "yes" : bound;
  }
  // Each case is "goal => result".
  void check(std::initializer_list<std::string> cases) {
    for (const std::string& c : cases) {
      const size_t arrow = c.find(" => ");
      EXPECT_EQ(run(c.substr(0, arrow)), c.substr(arrow + 4)) << c;
    }
  }
  // The same result for the word applied to each text.
  void check_each(const std::string& word, const std::string& result,
                  std::initializer_list<std::string> texts) {
    for (const std::string& t : texts) EXPECT_EQ(run(word + "|" + t), result) << word << " " << t;
  }
};

TEST_F(BuiltinsTest, EqualityAndComparisons) {
  check({// eq binds either side or compares; ne needs both sides.
         "eq|X|B => X=42", "eq|B|X => X=42", "eq|X|Z => no", "eq|X|X => no", "eq|B|B => yes",
         "eq|B|42 => yes", "eq|B|41 => no", "ne|#1|#2 => yes", "ne|#1|#1 => no", "ne|X|#1 => no",
         "ne|#1|X => no",
         // Binding to an Int term stores its raw bits.
         "eq|X|i:-1 => X=#18446744073709551615",
         // Numbers are symbol texts: 3 and 3.0 are different symbols with the
         // same number, and numbers, not texts, are compared.
         "eq|3|3.0 => no", "ne|3|3.0 => yes", "leq|3|3.0 => yes", "geq|3|3.0 => yes",
         "lt|3|3.0 => no", "gt|10|9 => yes", "lt|9|10 => yes", "lt|i:-3|-2.5 => yes",
         "geq|f:2.5|2.5 => yes", "lt|-inf|1e308 => yes", "between|5|5|5 => yes",
         "between|7|i:5|1e1 => yes", "between|5|10|1 => no", "between|5|nan|10 => no",
         "between|11|5|10 => no"});
  // No number: text, blank, NaN, unbound, unknown symbol.
  for (const char* op : {"lt", "leq", "gt", "geq"}) {
    check_each(op, "no", {"abc|1", "1| 1", "nan|nan", "X|1", "#999999|1"});
  }
}

TEST_F(BuiltinsTest, ArithmeticSolvesChecksAndInterns) {
  check({"add|1|2|Z => Z=3", "add|X|2|5 => X=3", "add|2|Y|5 => Y=3", "sub|1|3|Z => Z=-2",
         "sub|X|3|1 => X=4", "sub|10|Y|4 => Y=6", "mul|2.5|2|Z => Z=5", "mul|2|Y|5 => Y=2.5",
         "div|1|3|Z => Z=0.3333333333333333", "div|1|Y|4 => Y=0.25", "add|i:2|f:0.5|Z => Z=2.5",
         // Checks with all three known.
         "add|0.1|0.2|0.3 => yes", "add|0.1|0.2|0.30001 => no", "div|1|4|0.25 => yes",
         "div|0|0|0 => no", "add|nan|1|nan => no",
         // Divisors at or below 1e-12 drop the match; solving div for X multiplies.
         "mul|X|0|5 => no", "mul|X|1e-12|5 => no", "mul|X|-1e-12|5 => no", "mul|X|nan|5 => no",
         "mul|X|2e-12|5 => X=2500000000000", "div|X|0|5 => X=0", "div|1|0|Z => no",
         "div|1|Y|0 => no", "div|5|0|5 => no", "div|5|1e-12|5e12 => no",
         // Anything but one unknown beside two numbers drops the match.
         "add|X|X|4 => no", "add|X|Y|4 => no", "add|X|abc|4 => no", "add|abc|1|4 => no",
         // Results are interned as number texts: 2^63 and above in full with
         // their shortest digits, negative zero as 0.
         "mul|4294967296|2147483648|Z => Z=9223372036854776000",
         "mul|-4294967296|2147483648|Z => Z=-9223372036854776000",
         "mul|1e10|1e10|Z => Z=100000000000000000000", "mul|-1|0|Z => Z=0",
         "add|inf|1|Z => Z=inf", "add|inf|-inf|Z => Z=NaN", "sub|2.5e-7|0|Z => Z=0.00000025"});
}

TEST_F(BuiltinsTest, TypeTestsOnValueTexts) {
  check({"int| 42  => yes", "int|\xE3\x80\x80" "42 => yes", "int|\x1C" "42 => no", "int|+42 => no",
         "int|4.0 => no", "float|42 => no", "float|\x1C" "2.5 => no", "entity|\x1C" "2.5 => yes",
         "string|\"\" => yes", "string|\"hi there\" => yes", "string|\" => no",
         "string| \"x\" => no", "date|d\" => yes", "date|d\"2024-01-01\" => yes",
         "date|dt\"2024\" => no", "datetime|dt\" => yes", "datetime|dt\"2024-01-01T00:00\" => yes",
         "datetime|d\"x\" => no", "duration|dur\" => yes", "duration|dur\"PT1H\" => yes",
         "duration|du\"x\" => no", "duration|dur\"x => no",
         // Int and Float terms are read through their decimal and display texts.
         "int|f:3.0 => yes", "float|f:3.0 => no", "int|f:-0.0 => yes", "float|f:2.5 => yes",
         "int|i:-12 => yes", "int|f:1e20 => yes", "float|f:nan => yes",
         // A bound variable reads its symbol.
         "int|B => yes", "predicate_ref|B => no"});
  for (const char* word : {"float", "entity"}) {
    check_each(word, word[0] == 'f' ? "yes" : "no",
               {"4.0", "+42", "1e5", " 2.5 ", "nan", "inf", "Infinity", "-INF", "\xE3\x80\x80.5"});
  }
  check_each("entity", "yes", {"", "alice", "a b", "\"", "d\"x", "p/2"});
  check_each("entity", "no", {"42", "4.0", "\"x\"", "d\"x\"", "dt\"x\"", "dur\"x\""});
  check_each("predicate_ref", "yes", {"edge/2", "e_1/0", "aB9_/123"});
  check_each("predicate_ref", "no", {"Edge/2", "edge/", "/2", "edge/2/3", "edge/x", "edge/ 2",
                                     "edge", "_e/1", "ed-ge/1", "edge/2 "});
  // No value text: unbound variable or missing symbol.
  for (const char* op :
       {"int", "string", "float", "entity", "predicate_ref", "date", "datetime", "duration"}) {
    check_each(op, "no", {"X", "#987654", "s:987654"});
  }
}

TEST_F(BuiltinsTest, MatchesKeepOrderAndWeights) {
  // A wrong argument count drops every match.
  const std::vector<BodyMatch> three(3);
  const Term one = Term::constant(sym("1"));
  for (auto [op, n] : {std::pair{BuiltinOp::Eq, 1}, {BuiltinOp::Ne, 3}, {BuiltinOp::Add, 2},
                       {BuiltinOp::Between, 2}, {BuiltinOp::Int, 0}, {BuiltinOp::Entity, 2}}) {
    EXPECT_TRUE(eval(BuiltinGoal{op, std::vector<Term>(n, one)}, three).empty());
  }
  EXPECT_EQ(eval(BuiltinGoal{BuiltinOp::Entity, {Term::constant(sym("a"))}}, three).size(), 3u);
  EXPECT_TRUE(eval(BuiltinGoal{BuiltinOp::Eq, {X, one}}, {}).empty());
  // Filters keep the input order; bindings keep the weights.
  std::vector<BodyMatch> in;
  for (const char* v : {"1", "5", "3", "9"}) in.push_back({bind_all({{"X", sym(v)}}), 0.5, 0.25});
  auto out = eval(BuiltinGoal{BuiltinOp::Gt, {X, Term::constant(sym("2"))}}, in);
  out = eval(BuiltinGoal{BuiltinOp::Add, {X, one, Y}}, out);
  out = eval(BuiltinGoal{BuiltinOp::Eq, {Z, Y}}, out);
  ASSERT_EQ(out.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const char* x[] = {"5", "3", "9"};
    const char* y[] = {"6", "4", "10"};
    EXPECT_EQ(out[i].bindings, bind_all({{"X", sym(x[i])}, {"Y", sym(y[i])}, {"Z", sym(y[i])}}));
    EXPECT_EQ(std::pair(out[i].b, out[i].d), std::pair(0.5, 0.25));
  }
}

TEST(NumberTextTest, ParsingAndDisplay) {
  const std::string max_text = "17976931348623157" + std::string(292, '0');
  const std::pair<std::string_view, double> parsed[] = {
      {"5", 5}, {"-2.5", -2.5}, {"5.", 5}, {".5", 0.5}, {"1e3", 1000}, {"+7", 7}, {"1E+3", 1000},
      {"2.5e-1", 0.25}, {"-.5e1", -5}, {"007", 7}, {"0.1", 0.1}, {"1e400", kInf},
      {"-1e400", -kInf}, {"1e-400", 0.0}, {"1e99999999999999999999", kInf},
      {"0e99999999999999999999", 0.0}, {"0.000001e-320", 0.0}, {"4.9e-324", 5e-324},
      {max_text, 1.7976931348623157e308},
      {"9007199254740993", 9007199254740992.0},  // ties to even
      {"INF", kInf}, {"-Infinity", -kInf}, {"+iNf", kInf}};
  for (const auto& [text, value] : parsed) EXPECT_EQ(parse_number(text), value) << text;
  EXPECT_TRUE(std::signbit(*parse_number("-0")));
  EXPECT_TRUE(std::signbit(*parse_number("-1e-400")));
  EXPECT_TRUE(std::isnan(*parse_number("nan")));
  EXPECT_TRUE(std::isnan(*parse_number("-NaN")));
  for (std::string_view bad : {"",    ".",     "e5",     "1e",    "1e+",   " 1",     "1 ",
                               "0x10", "1_000", "+",      "-",     "+-1",   "--1",    "1..2",
                               "1.2.3", "inf1", "infinit", "nan(1)", "1e5.0", "١",     "1,5",
                               "\t2",  "e",     ".e1",    "+.e1"}) {
    EXPECT_FALSE(parse_number(bad).has_value()) << "'" << bad << "'";
  }

  // Integer texts: Unicode White_Space trimmed, nothing else.
  for (std::string_view yes :
       {"42", " 42 ", "-0", "007", "-007", "1234567890123456789012345678901234567890",
        "\t\n\v\f\r 5", "\xC2\x85" "5\xC2\xA0", "\xE3\x80\x80" "12\xE3\x80\x80",
        "\xE1\x9A\x80" "1", "\xE2\x80\x80" "1\xE2\x80\x8A", "\xE2\x80\xA8\xE2\x80\xA9" "1",
        "\xE2\x80\xAF\xE2\x81\x9F" "1"}) {
    EXPECT_TRUE(is_int_text(yes)) << yes;
  }
  for (std::string_view no :
       {"", "-", "+42", "4.0", "1 2", "\x1C" "5", "5\x1F", "\xE2\x80\x8B" "5",
        "\xE2\x80\x8C" "5", "\xEF\xBB\xBF" "5", "- 5", "٣", "0x1", "\xC2\xA0"}) {
    EXPECT_FALSE(is_int_text(no)) << no;
  }
  EXPECT_EQ(trim_white_space("\xE3\x80\x80" "a b\xE3\x80\x80 "), "a b");
  EXPECT_EQ(trim_white_space("\xE2\x80\x80"), "");

  const std::pair<double, std::string> numbers[] = {
      {3.0, "3"}, {-0.0, "0"}, {2.5, "2.5"}, {-kInf, "-inf"},
      {-9223372036854774784.0, "-9223372036854774784"},
      {-9223372036854775808.0, "-9223372036854776000"},
      {9223372036854775808.0, "9223372036854776000"}};
  for (const auto& [x, text] : numbers) EXPECT_EQ(number_text(x), text) << x;
  const std::pair<double, std::string> floats[] = {
      {9223372036854775808.0, "9223372036854776000"}, {1e23, "100000000000000000000000"},
      {0.1 + 0.2, "0.30000000000000004"}, {2.5e-7, "0.00000025"}, {-0.0, "-0"}, {0.0, "0"},
      {3.0, "3"}, {-123.456, "-123.456"}, {5e-324, "0." + std::string(323, '0') + "5"},
      {kNaN, "NaN"}, {-kNaN, "NaN"}, {kInf, "inf"}, {-kInf, "-inf"}};
  for (const auto& [x, text] : floats) EXPECT_EQ(float_display(x), text) << x;
  EXPECT_EQ(float_display(1.5e300).size(), 301u);
}

}  // namespace
}  // namespace ruvo::test
