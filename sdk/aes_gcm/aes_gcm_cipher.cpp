// Encryption and decryption tasks: the data path, on the cipher contexts of the keys.
#include "aes_gcm_internal.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>

namespace kova::sdk::aes_gcm {
namespace {

// Reads a source list in order, chunk by chunk.
class source_cursor {
public:
	explicit source_cursor(const kova_buf *list) noexcept : m_buf{list} {}

	// Calls consume(bytes, len) on the next n bytes, one element's part at a time; false when the
	// list ends early or consume says false.
	template <typename Consume>
	bool take(std::size_t n, Consume &&consume) noexcept
	{
		constexpr std::size_t max_chunk = std::size_t{1} << 30; // OpenSSL takes int lengths
		while (n != 0) {
			if (m_buf == nullptr)
				return false;
			std::size_t const available = m_buf->data_len - m_offset;
			if (available == 0) {
				m_buf = m_buf->next;
				m_offset = 0;
				continue;
			}
			std::size_t len = available < n ? available : n;
			len = len < max_chunk ? len : max_chunk;
			if (!consume(reinterpret_cast<const unsigned char *>(m_buf->data + m_offset), len))
				return false;
			m_offset += len;
			n -= len;
		}
		return true;
	}

private:
	const kova_buf *m_buf;
	std::size_t m_offset = 0;
};

bool key_is_live(const kova_aes_gcm *lib, const kova_aes_gcm_key *key) noexcept
{
	for (const kova_aes_gcm_key *live = lib->keys; live != nullptr; live = live->next) {
		if (live == key)
			return true;
	}
	return false;
}

// Readies the key's cipher context for one message with the task's IV.
bool begin(const task_fields &fields, int encrypt) noexcept
{
	kova_aes_gcm_key *key = fields.key;
	if (key->iv_length != fields.iv_length) {
		if (EVP_CIPHER_CTX_ctrl(key->cipher, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(fields.iv_length), nullptr) != 1)
			return false;
		key->iv_length = fields.iv_length;
	}
	return EVP_CipherInit_ex2(key->cipher, nullptr, nullptr, fields.iv, encrypt, nullptr) == 1;
}

// Copies and authenticates the AAD, then runs the cipher over the next `len` bytes; returns the
// output position, or -1.
long run_cipher(EVP_CIPHER_CTX *cipher, source_cursor &source, uint32_t aad_size, std::size_t len,
		unsigned char *out) noexcept
{
	std::size_t pos = 0;
	bool ok = source.take(aad_size, [&](const unsigned char *bytes, std::size_t n) {
		int ignored = 0;
		std::memcpy(out + pos, bytes, n);
		pos += n;
		return EVP_CipherUpdate(cipher, nullptr, &ignored, bytes, static_cast<int>(n)) == 1;
	});
	ok = ok && source.take(len, [&](const unsigned char *bytes, std::size_t n) {
		int written = 0;
		if (EVP_CipherUpdate(cipher, out + pos, &written, bytes, static_cast<int>(n)) != 1)
			return false;
		pos += static_cast<std::size_t>(written);
		return true;
	});
	return ok ? static_cast<long>(pos) : -1;
}

} // namespace

kova_error run_encrypt(kova_task *task)
{
	auto *lib = reinterpret_cast<kova_aes_gcm *>(task->kind->ctx);
	const task_fields &fields = task_cast<kova_aes_gcm_task_encrypt>(task)->fields;
	output_window out{task->dst, lib->output_staging};
	if (task->src == nullptr || !out.valid() || !key_is_live(lib, fields.key))
		return KOVA_ERROR_INVALID_VALUE;
	std::size_t const total = static_cast<std::size_t>(list_data_len(task->src));
	if (total < fields.aad_size)
		return KOVA_ERROR_INVALID_VALUE;
	if (total + fields.tag_size > out.room())
		return KOVA_ERROR_NO_MEMORY;

	EVP_CIPHER_CTX *cipher = fields.key->cipher;
	auto *to = reinterpret_cast<unsigned char *>(out.data());
	source_cursor source{task->src};
	if (!begin(fields, 1))
		return KOVA_ERROR_UNEXPECTED;
	long pos = run_cipher(cipher, source, fields.aad_size, total - fields.aad_size, to);
	int tail = 0;
	if (pos < 0 || EVP_CipherFinal_ex(cipher, to + pos, &tail) != 1)
		return KOVA_ERROR_UNEXPECTED;
	pos += tail;
	if (EVP_CIPHER_CTX_ctrl(cipher, EVP_CTRL_GCM_GET_TAG, static_cast<int>(fields.tag_size), to + pos) != 1)
		return KOVA_ERROR_UNEXPECTED;
	return out.commit(static_cast<std::size_t>(pos) + fields.tag_size);
}

kova_error run_decrypt(kova_task *task)
{
	auto *lib = reinterpret_cast<kova_aes_gcm *>(task->kind->ctx);
	const task_fields &fields = task_cast<kova_aes_gcm_task_decrypt>(task)->fields;
	output_window out{task->dst, lib->output_staging};
	if (task->src == nullptr || !out.valid() || !key_is_live(lib, fields.key))
		return KOVA_ERROR_INVALID_VALUE;
	std::size_t const total = static_cast<std::size_t>(list_data_len(task->src));
	if (total < std::size_t{fields.aad_size} + fields.tag_size)
		return KOVA_ERROR_INVALID_VALUE;
	std::size_t const text = total - fields.aad_size - fields.tag_size;
	if (total - fields.tag_size > out.room())
		return KOVA_ERROR_NO_MEMORY;

	EVP_CIPHER_CTX *cipher = fields.key->cipher;
	auto *to = reinterpret_cast<unsigned char *>(out.data());
	source_cursor source{task->src};
	if (!begin(fields, 0))
		return KOVA_ERROR_UNEXPECTED;
	long pos = run_cipher(cipher, source, fields.aad_size, text, to);
	unsigned char tag[max_tag_size];
	std::size_t tag_len = 0;
	bool const read = pos >= 0 && source.take(fields.tag_size, [&](const unsigned char *bytes, std::size_t n) {
		std::memcpy(tag + tag_len, bytes, n);
		tag_len += n;
		return true;
	});
	if (!read ||
	    EVP_CIPHER_CTX_ctrl(cipher, EVP_CTRL_GCM_SET_TAG, static_cast<int>(fields.tag_size), tag) != 1)
		return KOVA_ERROR_UNEXPECTED;
	int tail = 0;
	if (EVP_CipherFinal_ex(cipher, to + pos, &tail) != 1) {
		// Not authentic: none of the plain text is kept.
		OPENSSL_cleanse(to, static_cast<std::size_t>(pos));
		return KOVA_ERROR_INVALID_VALUE;
	}
	return out.commit(static_cast<std::size_t>(pos + tail));
}

} // namespace kova::sdk::aes_gcm
