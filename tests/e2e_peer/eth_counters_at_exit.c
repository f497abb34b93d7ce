/* Preloaded into kova_bench by the end-to-end tests: when the program ends, writes the stand-in's
 * counters of the Ethernet interface named by KOVA_E2E_ETH_IFACE to the file KOVA_E2E_ETH_COUNTERS,
 * one "name value" line each. */
#include <kova/test_control.h>

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>

__attribute__((destructor)) static void write_eth_counters(void)
{
	const char *iface = getenv("KOVA_E2E_ETH_IFACE");
	const char *path = getenv("KOVA_E2E_ETH_COUNTERS");
	struct kova_test_eth_counters c;
	if (iface == NULL || path == NULL || kova_test_eth_get_counters(iface, &c) != 0)
		return;
	FILE *file = fopen(path, "w");
	if (file == NULL)
		return;
	fprintf(file,
		"rx_frames %" PRIu64 "\nrx_dropped_no_task %" PRIu64 "\nrx_dropped_too_large %" PRIu64
		"\nrx_dropped_no_match %" PRIu64 "\nrx_dropped_unknown_queue %" PRIu64 "\nrx_dropped_by_rule %" PRIu64
		"\ntx_frames %" PRIu64 "\ntx_failed %" PRIu64 "\n",
		c.rx_frames, c.rx_dropped_no_task, c.rx_dropped_too_large, c.rx_dropped_no_match,
		c.rx_dropped_unknown_queue, c.rx_dropped_by_rule, c.tx_frames, c.tx_failed);
	fclose(file);
}
