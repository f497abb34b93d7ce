// The hash task's data path. OpenSSL's digest functions (SHA-NI where the processor has it) are used
// below the EVP layer, whose digest contexts allocate on every initialisation; these keep their
// whole state on the stack.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "sha_internal.hpp"

#include <kova_internal/buf_data.hpp>

#include <openssl/sha.h>

namespace kova::sdk::sha {
namespace {

template <typename State, int (*Init)(State *), int (*Update)(State *, const void *, size_t),
	  int (*Final)(unsigned char *, State *)>
void digest(const kova_buf *list, unsigned char *out) noexcept
{
	State state;
	Init(&state);
	for (; list != nullptr; list = list->next)
		Update(&state, list->data, list->data_len);
	Final(out, &state);
}

} // namespace

kova_error run_hash(kova_task *task)
{
	auto const *hash = task_cast<kova_sha_task_hash>(task);
	uint32_t const size = digest_size(hash->algorithm);
	if (task->src == nullptr || task->dst == nullptr || size == 0)
		return KOVA_ERROR_INVALID_VALUE;
	if (list_room(task->dst) < size)
		return KOVA_ERROR_NO_MEMORY;
	unsigned char out[SHA512_DIGEST_LENGTH];
	switch (hash->algorithm) {
	case KOVA_SHA_ALGORITHM_SHA1:
		digest<SHA_CTX, SHA1_Init, SHA1_Update, SHA1_Final>(task->src, out);
		break;
	case KOVA_SHA_ALGORITHM_SHA256:
		digest<SHA256_CTX, SHA256_Init, SHA256_Update, SHA256_Final>(task->src, out);
		break;
	default:
		digest<SHA512_CTX, SHA512_Init, SHA512_Update, SHA512_Final>(task->src, out);
		break;
	}
	return list_writer{task->dst}.write(out, size);
}

} // namespace kova::sdk::sha
