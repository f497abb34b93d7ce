// The kova::exception a call throws; a test failure (and an empty exception) when it throws none.
#pragma once

#include "kova_exception.hpp"

#include <gtest/gtest.h>

namespace kova::test {

template <typename Call>
kova::exception thrown_by(Call call)
{
	try {
		call();
	} catch (const kova::exception &e) {
		return e;
	}
	ADD_FAILURE() << "nothing thrown";
	return kova::exception{0, "", "", "", 0};
}

} // namespace kova::test
