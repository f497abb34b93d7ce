/* Preloaded into kova_bench and kova_bench_companion by the comch end-to-end tests: when a program
 * that made a comch consumer or producer ends, writes the stand-in's comch counters to the file
 * named by KOVA_E2E_COMCH_COUNTERS, one "name value" line each. Programs it starts inherit the
 * preload but make no consumer or producer, so they write nothing. */
#include <kova/test_control.h>

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>

__attribute__((destructor)) static void write_comch_counters(void)
{
	const char *path = getenv("KOVA_E2E_COMCH_COUNTERS");
	struct kova_test_comch_counters c;
	if (path == NULL)
		return;
	kova_test_comch_get_counters(&c);
	if (c.consumers == 0 && c.producers == 0)
		return;
	FILE *file = fopen(path, "w");
	if (file == NULL)
		return;
	fprintf(file,
		"consumers %" PRIu64 "\nproducers %" PRIu64 "\nreceived_messages %" PRIu64 "\nreceived_bytes %" PRIu64
		"\nreceives_failed %" PRIu64 "\nsent_messages %" PRIu64 "\nsent_bytes %" PRIu64 "\nsends_failed %" PRIu64
		"\n",
		c.consumers, c.producers, c.received_messages, c.received_bytes, c.receives_failed, c.sent_messages,
		c.sent_bytes, c.sends_failed);
	fclose(file);
}
