// Tests for kova::exception and kova::optional.
#include "kova_exception.hpp"
#include "kova_optional.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

struct counted {
	static inline int destroyed = 0;
	static inline int alive = 0;
	int value;
	explicit counted(int v) : value{v} { ++alive; }
	counted(const counted &o) : value{o.value} { ++alive; }
	~counted()
	{
		++destroyed;
		--alive;
	}
};

void throw_here() { KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "bad value"); }

template <typename T>
T parse_thing(const std::string &);

template <>
int parse_thing<int>(const std::string &text)
{
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "cannot parse " + text);
}

struct thrower {
	void method() { KOVA_THROW(KOVA_ERROR_NOT_FOUND, "in method"); }
};

template <typename T>
struct holder {
	void method() { KOVA_THROW(KOVA_ERROR_NOT_FOUND, "in class template"); }
};

} // namespace

TEST(exception, carries_code_message_and_bare_location)
{
	try {
		throw_here();
		FAIL();
	} catch (const kova::exception &e) {
		EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE);
		EXPECT_STREQ(e.what(), "bad value");
		EXPECT_STREQ(e.function(), "throw_here");
		EXPECT_NE(std::string{e.file()}.find("exception_optional_test.cpp"), std::string::npos);
		EXPECT_GT(e.line(), 0u);

		kova::exception const copy{e};
		EXPECT_EQ(copy.code(), e.code());
		EXPECT_STREQ(copy.what(), e.what());
		EXPECT_EQ(copy.file(), e.file());
		EXPECT_EQ(copy.function(), e.function());
		EXPECT_EQ(copy.line(), e.line());
	}
}

TEST(exception, function_names_of_templates_and_members)
{
	struct case_t {
		void (*raise)();
		const char *expected;
	};
	case_t const cases[] = {
		{[] { (void)parse_thing<int>("x"); }, "parse_thing<int>"},
		{[] { thrower{}.method(); }, "method"},
		{[] { holder<long>{}.method(); }, "method"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.expected);
		kova::exception const e = kova::test::thrown_by([&] { c.raise(); });
		EXPECT_STREQ(e.function(), c.expected);
	}
}

TEST(optional, value_access_follows_state)
{
	kova::optional<int> opt;
	EXPECT_FALSE(opt.has_value());
	EXPECT_THROW((void)opt.value(), kova::bad_optional_access);
	opt.assign(5);
	EXPECT_EQ(opt.value(), 5);
	opt.destruct();
	EXPECT_THROW((void)opt.value(), kova::bad_optional_access);
}

TEST(optional, assign_destroys_old_value_once_before_new_exists)
{
	counted::destroyed = 0;
	counted::alive = 0;
	{
		kova::optional<counted> opt{counted{1}};
		int const destroyed_before = counted::destroyed;
		opt.assign(counted{2});
		// The temporary and the old held value are destroyed; only the new value lives.
		EXPECT_EQ(counted::destroyed - destroyed_before, 2);
		EXPECT_EQ(counted::alive, 1);
		EXPECT_EQ(opt->value, 2);
	}
	EXPECT_EQ(counted::alive, 0);
}

TEST(optional, copies_and_moves_use_their_own_storage)
{
	kova::optional<std::string> a{std::string{"hello"}};
	kova::optional<std::string> b{a};
	EXPECT_NE(&a.value(), &b.value());
	EXPECT_EQ(b.value(), "hello");

	kova::optional<std::string> c;
	c = a;
	EXPECT_NE(&c.value(), &a.value());
	EXPECT_EQ(c.value(), "hello");

	kova::optional<std::string> d{std::move(c)};
	EXPECT_NE(&d.value(), &c.value());
	EXPECT_EQ(d.value(), "hello");

	kova::optional<std::string> empty;
	d = empty;
	EXPECT_FALSE(d.has_value());
}

TEST(optional, emplace_of_exception_replaces_held_value)
{
	kova::optional<kova::exception> slot;
	slot.emplace(kova::exception{KOVA_ERROR_IO_FAILED, "first", "f", "fn", 1});
	slot.emplace(kova::exception{KOVA_ERROR_TIME_OUT, "second", "f", "fn", 2});
	EXPECT_EQ(slot->code(), KOVA_ERROR_TIME_OUT);
	EXPECT_STREQ(slot->what(), "second");
}

TEST(optional, assigning_the_held_value_to_itself_keeps_it)
{
	kova::optional<std::string> opt{std::string(100, 'x')};
	std::string *const held = &opt.value();
	opt.assign(*opt);
	EXPECT_EQ(&opt.value(), held);
	EXPECT_EQ(*opt, std::string(100, 'x'));
	opt = *opt;
	opt.assign(std::move(*opt));
	EXPECT_EQ(*opt, std::string(100, 'x'));

	kova::optional<std::string> const empty;
	EXPECT_FALSE(empty.has_value());
}
