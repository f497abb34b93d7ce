// "Throws kova::exception with code C and text T", for every test program.
#pragma once

#include "kova_exception.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace kova::test {

// The kova::exception the call throws; a test failure, and an exception of code
// 0 and no text, when it throws none.
template <typename Call>
kova::exception thrown_by(Call &&call)
{
	try {
		std::forward<Call>(call)();
	} catch (const kova::exception &e) {
		return e;
	}
	ADD_FAILURE() << "nothing thrown";
	return kova::exception{0, "", "", "", 0};
}

} // namespace kova::test

// Expects the statement to throw kova::exception with that code and exactly that text.
#define EXPECT_KOVA_THROW(statement, expected_code, expected_text)                                            \
	do {                                                                                                   \
		kova::exception const kova_thrown_ = ::kova::test::thrown_by([&] { statement; });              \
		EXPECT_EQ(kova_thrown_.code(), static_cast<kova_error>(expected_code));                       \
		EXPECT_EQ(std::string{kova_thrown_.what()}, std::string{expected_text});                      \
	} while (0)
