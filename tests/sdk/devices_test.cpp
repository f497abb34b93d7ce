// Tests for device and representor enumeration and opening.
#include <kova/dev.h>
#include <kova/error.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

class devices : public ::testing::Test {
protected:
	void SetUp() override { kova_test_reset(); }
	void TearDown() override { kova_test_reset(); }
};

struct device_names {
	std::string ibdev;
	std::string iface;
};

device_names names_of(const kova_devinfo *info)
{
	char ibdev[KOVA_DEVINFO_NAME_SIZE] = {};
	char iface[KOVA_DEVINFO_NAME_SIZE] = {};
	EXPECT_EQ(kova_devinfo_get_ibdev_name(info, ibdev, sizeof(ibdev)), KOVA_SUCCESS);
	EXPECT_EQ(kova_devinfo_get_iface_name(info, iface, sizeof(iface)), KOVA_SUCCESS);
	return {ibdev, iface};
}

bool has_address(const kova_devinfo *info, const char *address)
{
	uint8_t equal = 0;
	EXPECT_EQ(kova_devinfo_is_equal_pci_addr(info, address, &equal), KOVA_SUCCESS) << address;
	return equal != 0;
}

TEST_F(devices, the_default_table_has_two_devices_with_one_network_representor_each)
{
	kova_devinfo **list = nullptr;
	uint32_t count = 0;
	ASSERT_EQ(kova_devinfo_create_list(&list, &count), KOVA_SUCCESS);
	ASSERT_EQ(count, 2u);
	struct expectation {
		const char *address;
		const char *ibdev;
		const char *iface;
		const char *rep;
	} const expected[] = {
		{"0000:03:00.0", "kova_0", "kovap0", "0000:03:00.2"},
		{"0000:03:00.1", "kova_1", "kovap1", "0000:03:00.3"},
	};
	for (uint32_t i = 0; i < count; ++i) {
		SCOPED_TRACE(expected[i].address);
		EXPECT_TRUE(has_address(list[i], expected[i].address));
		EXPECT_FALSE(has_address(list[i], expected[1 - i].address));
		device_names const names = names_of(list[i]);
		EXPECT_EQ(names.ibdev, expected[i].ibdev);
		EXPECT_EQ(names.iface, expected[i].iface);

		kova_dev *dev = nullptr;
		ASSERT_EQ(kova_dev_open(list[i], &dev), KOVA_SUCCESS);
		EXPECT_TRUE(has_address(kova_dev_as_devinfo(dev), expected[i].address));
		for (int filter : {KOVA_DEVINFO_REP_FILTER_ALL, KOVA_DEVINFO_REP_FILTER_NET}) {
			kova_devinfo_rep **reps = nullptr;
			uint32_t num_reps = 0;
			ASSERT_EQ(kova_devinfo_rep_create_list(dev, filter, &reps, &num_reps), KOVA_SUCCESS);
			ASSERT_EQ(num_reps, 1u);
			uint8_t equal = 0;
			ASSERT_EQ(kova_devinfo_rep_is_equal_pci_addr(reps[0], expected[i].rep, &equal), KOVA_SUCCESS);
			EXPECT_EQ(equal, 1);
			kova_dev_rep *rep = nullptr;
			ASSERT_EQ(kova_dev_rep_open(reps[0], &rep), KOVA_SUCCESS);
			EXPECT_EQ(kova_dev_rep_close(rep), KOVA_SUCCESS);
			EXPECT_EQ(kova_devinfo_rep_destroy_list(reps), KOVA_SUCCESS);
		}
		EXPECT_EQ(kova_dev_close(dev), KOVA_SUCCESS);
	}
	EXPECT_EQ(kova_devinfo_destroy_list(list), KOVA_SUCCESS);
}

TEST_F(devices, pci_addresses_are_compared_in_both_forms)
{
	kova_devinfo **list = nullptr;
	uint32_t count = 0;
	ASSERT_EQ(kova_devinfo_create_list(&list, &count), KOVA_SUCCESS);
	struct entry {
		const char *text;
		kova_error result;
		uint8_t equal;
	} const cases[] = {
		{"0000:03:00.0", KOVA_SUCCESS, 1}, {"03:00.0", KOVA_SUCCESS, 1},  {"0000:03:00.1", KOVA_SUCCESS, 0},
		{"0001:03:00.0", KOVA_SUCCESS, 0}, {"0000:0A:1f.7", KOVA_SUCCESS, 0}, {"3:00.0", KOVA_ERROR_INVALID_VALUE, 0},
		{"03:00.8", KOVA_ERROR_INVALID_VALUE, 0}, {"03:20.0", KOVA_ERROR_INVALID_VALUE, 0},
		{"0000-03:00.0", KOVA_ERROR_INVALID_VALUE, 0}, {"03:00.0 ", KOVA_ERROR_INVALID_VALUE, 0},
		{"", KOVA_ERROR_INVALID_VALUE, 0}, {"zz:00.0", KOVA_ERROR_INVALID_VALUE, 0},
	};
	for (const entry &c : cases) {
		SCOPED_TRACE(c.text);
		uint8_t equal = 9;
		ASSERT_EQ(kova_devinfo_is_equal_pci_addr(list[0], c.text, &equal), c.result);
		if (c.result == KOVA_SUCCESS) {
			EXPECT_EQ(equal, c.equal);
		}
	}
	uint8_t equal = 0;
	EXPECT_EQ(kova_devinfo_is_equal_pci_addr(list[0], nullptr, &equal), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_devinfo_destroy_list(list), KOVA_SUCCESS);
}

TEST_F(devices, pci_address_texts_have_their_domain_and_lower_case)
{
	const char *const reps[] = {"AB:1f.7"};
	kova_test_device const table[] = {{"0003:0A:02.3", "dev_a", "eth_a", 1, reps, 1}, {"82:00.0", "dev_b", "eth_b", 1, nullptr, 0}};
	ASSERT_EQ(kova_test_set_device_table(table, 2), KOVA_SUCCESS);
	kova_devinfo **list = nullptr;
	uint32_t count = 0;
	ASSERT_EQ(kova_devinfo_create_list(&list, &count), KOVA_SUCCESS);
	char text[KOVA_DEVINFO_PCI_ADDR_SIZE] = {};
	ASSERT_EQ(kova_devinfo_get_pci_addr_str(list[0], text), KOVA_SUCCESS);
	EXPECT_STREQ(text, "0003:0a:02.3");
	ASSERT_EQ(kova_devinfo_get_pci_addr_str(list[1], text), KOVA_SUCCESS);
	EXPECT_STREQ(text, "0000:82:00.0");
	EXPECT_EQ(kova_devinfo_get_pci_addr_str(nullptr, text), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_devinfo_get_pci_addr_str(list[0], nullptr), KOVA_ERROR_INVALID_VALUE);

	kova_dev *dev = nullptr;
	ASSERT_EQ(kova_dev_open(list[0], &dev), KOVA_SUCCESS);
	kova_devinfo_rep **rep_list = nullptr;
	uint32_t num_reps = 0;
	ASSERT_EQ(kova_devinfo_rep_create_list(dev, KOVA_DEVINFO_REP_FILTER_NET, &rep_list, &num_reps), KOVA_SUCCESS);
	ASSERT_EQ(num_reps, 1u);
	ASSERT_EQ(kova_devinfo_rep_get_pci_addr_str(rep_list[0], text), KOVA_SUCCESS);
	EXPECT_STREQ(text, "0000:ab:1f.7");
	EXPECT_EQ(kova_devinfo_rep_get_pci_addr_str(nullptr, text), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_devinfo_rep_destroy_list(rep_list), KOVA_SUCCESS);
	EXPECT_EQ(kova_dev_close(dev), KOVA_SUCCESS);
	EXPECT_EQ(kova_devinfo_destroy_list(list), KOVA_SUCCESS);
}

TEST_F(devices, names_need_room_for_their_terminator)
{
	kova_devinfo **list = nullptr;
	uint32_t count = 0;
	ASSERT_EQ(kova_devinfo_create_list(&list, &count), KOVA_SUCCESS);
	char name[7] = {};
	EXPECT_EQ(kova_devinfo_get_ibdev_name(list[0], name, 6), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_devinfo_get_ibdev_name(list[0], name, 7), KOVA_SUCCESS);
	EXPECT_STREQ(name, "kova_0");
	EXPECT_EQ(kova_devinfo_destroy_list(list), KOVA_SUCCESS);
}

TEST_F(devices, a_replaced_table_is_listed_until_the_reset)
{
	const char *const reps[] = {"81:00.4", "81:00.5"};
	kova_test_device const table[] = {
		{"0000:81:00.0", "dev_a", "eth_a", 0, reps, 2},
		{"82:00.0", "dev_b", "eth_b", 1, nullptr, 0},
		{"0003:01:02.3", "dev_c", "eth_c", 1, nullptr, 0},
	};
	ASSERT_EQ(kova_test_set_device_table(table, 3), KOVA_SUCCESS);
	kova_devinfo **list = nullptr;
	uint32_t count = 0;
	ASSERT_EQ(kova_devinfo_create_list(&list, &count), KOVA_SUCCESS);
	ASSERT_EQ(count, 3u);
	EXPECT_TRUE(has_address(list[0], "81:00.0"));
	EXPECT_TRUE(has_address(list[2], "0003:01:02.3"));
	EXPECT_EQ(names_of(list[1]).iface, "eth_b");

	kova_dev *dev = nullptr;
	ASSERT_EQ(kova_dev_open(list[0], &dev), KOVA_SUCCESS);
	kova_devinfo_rep **rep_list = nullptr;
	uint32_t num_reps = 0;
	EXPECT_EQ(kova_devinfo_rep_create_list(dev, KOVA_DEVINFO_REP_FILTER_NET, &rep_list, &num_reps),
		  KOVA_ERROR_NOT_SUPPORTED)
		<< "this device cannot filter network representors";
	ASSERT_EQ(kova_devinfo_rep_create_list(dev, KOVA_DEVINFO_REP_FILTER_ALL, &rep_list, &num_reps), KOVA_SUCCESS);
	EXPECT_EQ(num_reps, 2u);
	EXPECT_EQ(kova_devinfo_rep_destroy_list(rep_list), KOVA_SUCCESS);
	ASSERT_EQ(kova_devinfo_rep_create_list(dev, KOVA_DEVINFO_REP_FILTER_EMULATED, &rep_list, &num_reps),
		  KOVA_SUCCESS);
	EXPECT_EQ(num_reps, 0u);
	EXPECT_EQ(kova_devinfo_rep_destroy_list(rep_list), KOVA_SUCCESS);
	EXPECT_EQ(kova_devinfo_rep_create_list(dev, 5, &rep_list, &num_reps), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_dev_close(dev), KOVA_SUCCESS);
	EXPECT_EQ(kova_devinfo_destroy_list(list), KOVA_SUCCESS);

	kova_test_device const malformed[] = {{"81:00", "x", "y", 0, nullptr, 0}};
	EXPECT_EQ(kova_test_set_device_table(malformed, 1), KOVA_ERROR_INVALID_VALUE);
	ASSERT_EQ(kova_devinfo_create_list(&list, &count), KOVA_SUCCESS);
	EXPECT_EQ(count, 3u) << "a malformed table changes nothing";
	EXPECT_EQ(kova_devinfo_destroy_list(list), KOVA_SUCCESS);

	kova_test_reset();
	ASSERT_EQ(kova_devinfo_create_list(&list, &count), KOVA_SUCCESS);
	EXPECT_EQ(count, 2u);
	EXPECT_EQ(kova_devinfo_destroy_list(list), KOVA_SUCCESS);
}

TEST_F(devices, an_opened_device_outlives_its_list)
{
	kova_devinfo **list = nullptr;
	uint32_t count = 0;
	ASSERT_EQ(kova_devinfo_create_list(&list, &count), KOVA_SUCCESS);
	kova_dev *first = nullptr;
	kova_dev *second = nullptr;
	ASSERT_EQ(kova_dev_open(list[1], &first), KOVA_SUCCESS);
	ASSERT_EQ(kova_dev_open(list[1], &second), KOVA_SUCCESS);
	EXPECT_NE(first, second);
	ASSERT_EQ(kova_devinfo_destroy_list(list), KOVA_SUCCESS);
	EXPECT_EQ(names_of(kova_dev_as_devinfo(first)).ibdev, "kova_1");
	EXPECT_EQ(kova_dev_close(first), KOVA_SUCCESS);
	EXPECT_EQ(kova_dev_close(second), KOVA_SUCCESS);
}

TEST_F(devices, several_threads_enumerate_and_open_at_once)
{
	std::vector<std::thread> threads;
	std::vector<int> failures(4, 0);
	for (int t = 0; t < 4; ++t) {
		threads.emplace_back([t, &failures] {
			for (int i = 0; i < 200; ++i) {
				kova_devinfo **list = nullptr;
				uint32_t count = 0;
				kova_dev *dev = nullptr;
				if (kova_devinfo_create_list(&list, &count) != KOVA_SUCCESS || count != 2 ||
				    kova_dev_open(list[i % 2], &dev) != KOVA_SUCCESS) {
					++failures[t];
					continue;
				}
				kova_dev_close(dev);
				kova_devinfo_destroy_list(list);
			}
		});
	}
	for (std::thread &thread : threads)
		thread.join();
	EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST_F(devices, null_arguments_are_invalid)
{
	uint32_t count = 0;
	kova_dev *dev = nullptr;
	EXPECT_EQ(kova_devinfo_create_list(nullptr, &count), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_devinfo_destroy_list(nullptr), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_dev_open(nullptr, &dev), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_dev_close(nullptr), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova_dev_as_devinfo(nullptr), nullptr);
	EXPECT_EQ(kova_devinfo_rep_destroy_list(nullptr), KOVA_ERROR_INVALID_VALUE);
}

} // namespace
