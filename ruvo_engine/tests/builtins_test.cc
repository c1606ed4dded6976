// Builtin goals and the number and text rules behind them.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>

#include "ruvo_engine/src/join.h"

namespace ruvo {
namespace {

class BuiltinsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto s = RuvoStore::open_temporary();
    ASSERT_TRUE(s.has_value()) << s.error().debug();
    store_.emplace(std::move(*s));
  }

  uint64_t sym(std::string_view text) {
    auto id = store_->symbols.get_or_insert(text);
    EXPECT_TRUE(id.has_value());
    return *id;
  }
  std::string text_of(uint64_t id) { return store_->symbols.get_text(id)->value_or("<none>"); }

  Term s(std::string_view text) { return Term::constant(sym(text)); }

  // Bindings point into the goal's terms, so every goal lives as long as the
  // fixture.
  std::vector<BodyMatch> run(BuiltinOp op, std::vector<Term> args,
                             std::vector<BodyMatch> in = {BodyMatch{}}) {
    const CompiledGoal& goal = goals_.emplace_back(BuiltinGoal{op, std::move(args)});
    return eval_goal(*store_, goal, in);
  }
  bool holds(BuiltinOp op, std::vector<Term> args) { return run(op, std::move(args)).size() == 1; }

  // The text bound to `var` by a goal that binds exactly one match.
  std::string solved(BuiltinOp op, std::vector<Term> args, std::string_view var) {
    auto out = run(op, std::move(args));
    if (out.size() != 1) return "<dropped>";
    auto v = out[0].bindings.get(var);
    if (!v) return "<unbound>";
    return text_of(*v);
  }

  bool type(BuiltinOp op, std::string_view text) { return holds(op, {s(text)}); }

  std::optional<RuvoStore> store_;
  std::deque<CompiledGoal> goals_;
};

const Term X = Term::var("X"), Y = Term::var("Y"), Z = Term::var("Z");

TEST_F(BuiltinsTest, EqBindsOrCompares) {
  BodyMatch m;
  m.bindings.bind("Y", 42);
  m.b = 0.3;
  m.d = 0.6;
  auto out = run(BuiltinOp::Eq, {X, Y}, {m});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bindings.get("X"), 42u);
  EXPECT_EQ(out[0].b, 0.3);
  EXPECT_EQ(out[0].d, 0.6);
  EXPECT_EQ(run(BuiltinOp::Eq, {Y, X}, {m})[0].bindings.get("X"), 42u);

  EXPECT_TRUE(run(BuiltinOp::Eq, {X, Z}, {m}).empty());
  EXPECT_TRUE(run(BuiltinOp::Eq, {X, X}, {m}).empty());
  EXPECT_EQ(run(BuiltinOp::Eq, {Y, Y}, {m}).size(), 1u);
  EXPECT_EQ(run(BuiltinOp::Eq, {Y, Term::constant(42)}, {m}).size(), 1u);
  EXPECT_TRUE(run(BuiltinOp::Eq, {Y, Term::constant(41)}, {m}).empty());

  // Binding to an Int term stores its raw bits, which equal that Const id.
  out = run(BuiltinOp::Eq, {X, Term::integer(-1)});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bindings.get("X"), ~uint64_t{0});
}

TEST_F(BuiltinsTest, NeNeedsBothSides) {
  EXPECT_TRUE(holds(BuiltinOp::Ne, {Term::constant(1), Term::constant(2)}));
  EXPECT_FALSE(holds(BuiltinOp::Ne, {Term::constant(1), Term::constant(1)}));
  EXPECT_FALSE(holds(BuiltinOp::Ne, {X, Term::constant(1)}));
  EXPECT_FALSE(holds(BuiltinOp::Ne, {Term::constant(1), X}));
}

TEST_F(BuiltinsTest, NumbersAreSymbolTexts) {
  // 3 and 3.0 are different symbols with the same number.
  EXPECT_FALSE(holds(BuiltinOp::Eq, {s("3"), s("3.0")}));
  EXPECT_TRUE(holds(BuiltinOp::Ne, {s("3"), s("3.0")}));
  EXPECT_TRUE(holds(BuiltinOp::Leq, {s("3"), s("3.0")}));
  EXPECT_TRUE(holds(BuiltinOp::Geq, {s("3"), s("3.0")}));
  EXPECT_FALSE(holds(BuiltinOp::Lt, {s("3"), s("3.0")}));

  // Numbers, not texts, are compared.
  EXPECT_TRUE(holds(BuiltinOp::Gt, {s("10"), s("9")}));
  EXPECT_TRUE(holds(BuiltinOp::Lt, {s("9"), s("10")}));
  EXPECT_TRUE(holds(BuiltinOp::Lt, {Term::integer(-3), s("-2.5")}));
  EXPECT_TRUE(holds(BuiltinOp::Geq, {Term::floating(2.5), s("2.5")}));
  for (BuiltinOp op : {BuiltinOp::Lt, BuiltinOp::Leq, BuiltinOp::Gt, BuiltinOp::Geq}) {
    EXPECT_FALSE(holds(op, {s("abc"), s("1")}));
    EXPECT_FALSE(holds(op, {s("1"), s(" 1")}));
    EXPECT_FALSE(holds(op, {s("nan"), s("nan")}));
    EXPECT_FALSE(holds(op, {X, s("1")}));
    EXPECT_FALSE(holds(op, {Term::constant(999999), s("1")}));  // no such symbol
  }
  EXPECT_TRUE(holds(BuiltinOp::Lt, {s("-inf"), s("1e308")}));

  EXPECT_TRUE(holds(BuiltinOp::Between, {s("5"), s("5"), s("5")}));
  EXPECT_TRUE(holds(BuiltinOp::Between, {s("7"), Term::integer(5), s("1e1")}));
  EXPECT_FALSE(holds(BuiltinOp::Between, {s("5"), s("10"), s("1")}));
  EXPECT_FALSE(holds(BuiltinOp::Between, {s("5"), s("nan"), s("10")}));
  EXPECT_FALSE(holds(BuiltinOp::Between, {s("11"), s("5"), s("10")}));
}

TEST_F(BuiltinsTest, ArithmeticSolvesAndInterns) {
  EXPECT_EQ(solved(BuiltinOp::Add, {s("1"), s("2"), Z}, "Z"), "3");
  EXPECT_EQ(run(BuiltinOp::Add, {s("1"), s("2"), Z})[0].bindings.get("Z"), sym("3"));
  EXPECT_NE(sym("3"), sym("3.0"));
  EXPECT_EQ(solved(BuiltinOp::Add, {X, s("2"), s("5")}, "X"), "3");
  EXPECT_EQ(solved(BuiltinOp::Add, {s("2"), Y, s("5")}, "Y"), "3");
  EXPECT_EQ(solved(BuiltinOp::Sub, {s("1"), s("3"), Z}, "Z"), "-2");
  EXPECT_EQ(solved(BuiltinOp::Sub, {X, s("3"), s("1")}, "X"), "4");
  EXPECT_EQ(solved(BuiltinOp::Sub, {s("10"), Y, s("4")}, "Y"), "6");
  EXPECT_EQ(solved(BuiltinOp::Mul, {s("2.5"), s("2"), Z}, "Z"), "5");
  EXPECT_EQ(solved(BuiltinOp::Mul, {s("2"), Y, s("5")}, "Y"), "2.5");
  EXPECT_EQ(solved(BuiltinOp::Div, {s("1"), s("3"), Z}, "Z"), "0.3333333333333333");
  EXPECT_EQ(solved(BuiltinOp::Div, {s("1"), Y, s("4")}, "Y"), "0.25");
  EXPECT_EQ(solved(BuiltinOp::Add, {Term::integer(2), Term::floating(0.5), Z}, "Z"), "2.5");

  // Checks with all three known.
  EXPECT_TRUE(holds(BuiltinOp::Add, {s("0.1"), s("0.2"), s("0.3")}));
  EXPECT_FALSE(holds(BuiltinOp::Add, {s("0.1"), s("0.2"), s("0.30001")}));
  EXPECT_TRUE(holds(BuiltinOp::Div, {s("1"), s("4"), s("0.25")}));
  EXPECT_FALSE(holds(BuiltinOp::Div, {s("0"), s("0"), s("0")}));
  EXPECT_FALSE(holds(BuiltinOp::Add, {s("nan"), s("1"), s("nan")}));

  // Divisors at or below 1e-12 drop the match; solving div for X multiplies.
  EXPECT_EQ(solved(BuiltinOp::Mul, {X, s("0"), s("5")}, "X"), "<dropped>");
  EXPECT_EQ(solved(BuiltinOp::Mul, {X, s("1e-12"), s("5")}, "X"), "<dropped>");
  EXPECT_EQ(solved(BuiltinOp::Mul, {X, s("-1e-12"), s("5")}, "X"), "<dropped>");
  EXPECT_EQ(solved(BuiltinOp::Mul, {X, s("nan"), s("5")}, "X"), "<dropped>");
  EXPECT_EQ(solved(BuiltinOp::Mul, {X, s("2e-12"), s("5")}, "X"), "2500000000000");
  EXPECT_EQ(solved(BuiltinOp::Div, {X, s("0"), s("5")}, "X"), "0");
  EXPECT_EQ(solved(BuiltinOp::Div, {s("1"), s("0"), Z}, "Z"), "<dropped>");
  EXPECT_EQ(solved(BuiltinOp::Div, {s("1"), Y, s("0")}, "Y"), "<dropped>");
  EXPECT_FALSE(holds(BuiltinOp::Div, {s("5"), s("0"), s("5")}));
  EXPECT_FALSE(holds(BuiltinOp::Div, {s("5"), s("1e-12"), s("5e12")}));

  // Anything but one unknown beside two numbers drops the match.
  EXPECT_TRUE(run(BuiltinOp::Add, {X, X, s("4")}).empty());
  EXPECT_TRUE(run(BuiltinOp::Add, {X, Y, s("4")}).empty());
  EXPECT_TRUE(run(BuiltinOp::Add, {X, s("abc"), s("4")}).empty());
  EXPECT_TRUE(run(BuiltinOp::Add, {s("abc"), s("1"), s("4")}).empty());
}

TEST_F(BuiltinsTest, ComputedNumberTexts) {
  // 2^63 and above are written in full with their shortest digits.
  EXPECT_EQ(solved(BuiltinOp::Mul, {s("4294967296"), s("2147483648"), Z}, "Z"),
            "9223372036854776000");
  EXPECT_EQ(solved(BuiltinOp::Mul, {s("-4294967296"), s("2147483648"), Z}, "Z"),
            "-9223372036854776000");
  EXPECT_EQ(solved(BuiltinOp::Mul, {s("1e10"), s("1e10"), Z}, "Z"), "100000000000000000000");
  EXPECT_EQ(solved(BuiltinOp::Mul, {s("-1"), s("0"), Z}, "Z"), "0");  // negative zero
  EXPECT_EQ(solved(BuiltinOp::Add, {s("inf"), s("1"), Z}, "Z"), "inf");
  EXPECT_EQ(solved(BuiltinOp::Add, {s("inf"), s("-inf"), Z}, "Z"), "NaN");
  EXPECT_EQ(solved(BuiltinOp::Sub, {s("2.5e-7"), s("0"), Z}, "Z"), "0.00000025");

  EXPECT_EQ(number_text(3.0), "3");
  EXPECT_EQ(number_text(-0.0), "0");
  EXPECT_EQ(number_text(2.5), "2.5");
  EXPECT_EQ(number_text(-9223372036854774784.0), "-9223372036854774784");
  EXPECT_EQ(number_text(-9223372036854775808.0), "-9223372036854776000");
  EXPECT_EQ(number_text(9223372036854775808.0), "9223372036854776000");
  EXPECT_EQ(number_text(-std::numeric_limits<double>::infinity()), "-inf");

  EXPECT_EQ(float_display(9223372036854775808.0), "9223372036854776000");
  EXPECT_EQ(float_display(1e23), "100000000000000000000000");
  EXPECT_EQ(float_display(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(float_display(2.5e-7), "0.00000025");
  EXPECT_EQ(float_display(-0.0), "-0");
  EXPECT_EQ(float_display(0.0), "0");
  EXPECT_EQ(float_display(3.0), "3");
  EXPECT_EQ(float_display(-123.456), "-123.456");
  EXPECT_EQ(float_display(1.5e300).size(), 301u);
  EXPECT_EQ(float_display(5e-324), "0." + std::string(323, '0') + "5");
  EXPECT_EQ(float_display(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(float_display(-std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(float_display(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(float_display(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST_F(BuiltinsTest, NumberParsing) {
  const std::string max_text = "17976931348623157" + std::string(292, '0');
  struct Case { std::string_view text; double value; };
  for (const Case& c : std::initializer_list<Case>{
           {"5", 5}, {"-2.5", -2.5}, {"5.", 5}, {".5", 0.5}, {"1e3", 1000}, {"+7", 7},
           {"1E+3", 1000}, {"2.5e-1", 0.25}, {"-.5e1", -5}, {"007", 7}, {"0.1", 0.1},
           {"1e400", INFINITY}, {"-1e400", -INFINITY}, {"1e-400", 0.0},
           {"1e99999999999999999999", INFINITY}, {"0e99999999999999999999", 0.0},
           {"0.000001e-320", 0.0}, {"4.9e-324", 5e-324},
           {max_text, 1.7976931348623157e308},
           {"9007199254740993", 9007199254740992.0},  // ties to even
           {"INF", INFINITY}, {"-Infinity", -INFINITY}, {"+iNf", INFINITY}}) {
    auto v = parse_number(c.text);
    ASSERT_TRUE(v.has_value()) << c.text;
    EXPECT_EQ(*v, c.value) << c.text;
  }
  EXPECT_TRUE(std::signbit(*parse_number("-0")));
  EXPECT_TRUE(std::signbit(*parse_number("-1e-400")));
  EXPECT_TRUE(std::isnan(*parse_number("nan")));
  EXPECT_TRUE(std::isnan(*parse_number("-NaN")));

  for (std::string_view bad :
       {"", ".", "e5", "1e", "1e+", " 1", "1 ", "0x10", "1_000", "+", "-", "+-1", "--1", "1..2",
        "1.2.3", "inf1", "infinit", "nan(1)", "1e5.0", "١", "1,5", "\t2", "e", ".e1", "+.e1"}) {
    EXPECT_FALSE(parse_number(bad).has_value()) << "'" << bad << "'";
  }
}

TEST_F(BuiltinsTest, IntTextTrimsUnicodeWhiteSpace) {
  for (std::string_view yes :
       {"42", " 42 ", "-0", "007", "-007", "1234567890123456789012345678901234567890",
        "\t\n\v\f\r 5", "\xC2\x85" "5\xC2\xA0", "\xE3\x80\x80" "12\xE3\x80\x80",
        "\xE1\x9A\x80" "1", "\xE2\x80\x80" "1\xE2\x80\x8A", "\xE2\x80\xA8\xE2\x80\xA9" "1",
        "\xE2\x80\xAF\xE2\x81\x9F" "1"}) {
    EXPECT_TRUE(is_int_text(yes)) << yes;
  }
  for (std::string_view no :
       {"", "-", "+42", "4.0", "1 2", "\x1C" "5", "5\x1F", "\xE2\x80\x8B" "5", "\xE2\x80\x8C" "5",
        "\xEF\xBB\xBF" "5", "- 5", "٣", "0x1", "\xC2\xA0"}) {
    EXPECT_FALSE(is_int_text(no)) << no;
  }
  EXPECT_EQ(trim_white_space("\xE3\x80\x80" "a b\xE3\x80\x80 "), "a b");
  EXPECT_EQ(trim_white_space("\xE2\x80\x80"), "");
}

TEST_F(BuiltinsTest, TypeTestsOnValueTexts) {
  using Op = BuiltinOp;
  EXPECT_TRUE(type(Op::Int, " 42 "));
  EXPECT_TRUE(type(Op::Int, "\xE3\x80\x80" "42"));
  EXPECT_FALSE(type(Op::Int, "\x1C" "42"));
  EXPECT_FALSE(type(Op::Int, "+42"));
  EXPECT_FALSE(type(Op::Int, "4.0"));
  for (std::string_view f : {"4.0", "+42", "1e5", " 2.5 ", "nan", "inf", "Infinity", "-INF",
                             "\xE3\x80\x80" ".5"}) {
    EXPECT_TRUE(type(Op::Float, f)) << f;
    EXPECT_FALSE(type(Op::Entity, f)) << f;
  }
  EXPECT_FALSE(type(Op::Float, "42"));
  EXPECT_FALSE(type(Op::Float, "\x1C" "2.5"));
  EXPECT_TRUE(type(Op::Entity, "\x1C" "2.5"));

  EXPECT_TRUE(type(Op::String, "\"\""));
  EXPECT_TRUE(type(Op::String, "\"hi there\""));
  EXPECT_FALSE(type(Op::String, "\""));
  EXPECT_FALSE(type(Op::String, " \"x\""));
  EXPECT_TRUE(type(Op::Date, "d\""));
  EXPECT_TRUE(type(Op::Date, "d\"2024-01-01\""));
  EXPECT_FALSE(type(Op::Date, "dt\"2024\""));
  EXPECT_TRUE(type(Op::Datetime, "dt\""));
  EXPECT_TRUE(type(Op::Datetime, "dt\"2024-01-01T00:00\""));
  EXPECT_FALSE(type(Op::Datetime, "d\"x\""));
  EXPECT_TRUE(type(Op::Duration, "dur\""));
  EXPECT_TRUE(type(Op::Duration, "dur\"PT1H\""));
  EXPECT_FALSE(type(Op::Duration, "du\"x\""));
  EXPECT_FALSE(type(Op::Duration, "dur\"x"));

  for (std::string_view e : {"", "alice", "a b", "\"", "d\"x", "p/2"}) EXPECT_TRUE(type(Op::Entity, e)) << e;
  for (std::string_view e : {"42", "4.0", "\"x\"", "d\"x\"", "dt\"x\"", "dur\"x\""})
    EXPECT_FALSE(type(Op::Entity, e)) << e;

  for (std::string_view p : {"edge/2", "e_1/0", "aB9_/123"}) EXPECT_TRUE(type(Op::PredicateRef, p)) << p;
  for (std::string_view p : {"Edge/2", "edge/", "/2", "edge/2/3", "edge/x", "edge/ 2", "edge", "_e/1",
                             "ed-ge/1", "edge/2 "})
    EXPECT_FALSE(type(Op::PredicateRef, p)) << p;

  // Int and Float terms are read through their decimal and display texts.
  EXPECT_TRUE(holds(Op::Int, {Term::floating(3.0)}));
  EXPECT_FALSE(holds(Op::Float, {Term::floating(3.0)}));
  EXPECT_TRUE(holds(Op::Int, {Term::floating(-0.0)}));
  EXPECT_TRUE(holds(Op::Float, {Term::floating(2.5)}));
  EXPECT_TRUE(holds(Op::Int, {Term::integer(-12)}));
  EXPECT_TRUE(holds(Op::Int, {Term::floating(1e20)}));
  EXPECT_TRUE(holds(Op::Float, {Term::floating(NAN)}));

  // No value text: unbound variable or missing symbol.
  for (Op op : {Op::Int, Op::String, Op::Float, Op::Entity, Op::PredicateRef, Op::Date,
                Op::Datetime, Op::Duration}) {
    EXPECT_FALSE(holds(op, {X}));
    EXPECT_FALSE(holds(op, {Term::constant(987654)}));
    EXPECT_FALSE(holds(op, {Term::str(987654)}));
  }
  // A bound variable reads its symbol.
  BodyMatch m;
  m.bindings.bind("X", sym("edge/2"));
  EXPECT_EQ(run(Op::PredicateRef, {X}, {m}).size(), 1u);
  EXPECT_TRUE(run(Op::Int, {X}, {m}).empty());
}

TEST_F(BuiltinsTest, WrongArgumentCountDropsEverything) {
  std::vector<BodyMatch> in(3);
  EXPECT_TRUE(run(BuiltinOp::Eq, {X}, in).empty());
  EXPECT_TRUE(run(BuiltinOp::Ne, {s("1"), s("2"), s("3")}, in).empty());
  EXPECT_TRUE(run(BuiltinOp::Add, {s("1"), s("2")}, in).empty());
  EXPECT_TRUE(run(BuiltinOp::Between, {s("1"), s("1")}, in).empty());
  EXPECT_TRUE(run(BuiltinOp::Int, {}, in).empty());
  EXPECT_TRUE(run(BuiltinOp::Entity, {s("a"), s("b")}, in).empty());
  EXPECT_EQ(run(BuiltinOp::Entity, {s("a")}, in).size(), 3u);
}

TEST_F(BuiltinsTest, FiltersKeepOrderAndWeights) {
  std::vector<BodyMatch> in;
  for (const char* v : {"1", "5", "3", "9"}) {
    BodyMatch m;
    m.bindings.bind("X", sym(v));
    m.b = 0.5;
    m.d = 0.25;
    in.push_back(m);
  }
  auto out = run(BuiltinOp::Gt, {X, s("2")}, in);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(text_of(*out[0].bindings.get("X")), "5");
  EXPECT_EQ(text_of(*out[1].bindings.get("X")), "3");
  EXPECT_EQ(text_of(*out[2].bindings.get("X")), "9");
  out = run(BuiltinOp::Add, {X, s("1"), Y}, out);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(text_of(*out[2].bindings.get("Y")), "10");
  EXPECT_EQ(out[2].b, 0.5);
  EXPECT_EQ(out[2].d, 0.25);
}

}  // namespace
}  // namespace ruvo
