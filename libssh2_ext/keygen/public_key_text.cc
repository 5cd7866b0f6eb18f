#include "libssh2_ext/keygen/public_key_text.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>

#include "libssh2_ext/keygen/ssh_wire.h"
#include "libssh2_ext/keygen/text_codec.h"

namespace keygen {

namespace {

const EVP_MD* DigestFor(int hash) {
  switch (hash) {
    case LIBSSH2_KEYGEN_HASH_SHA1:
      return EVP_sha1();
    case LIBSSH2_KEYGEN_HASH_SHA256:
      return EVP_sha256();
    case LIBSSH2_KEYGEN_HASH_SHA512:
      return EVP_sha512();
    case LIBSSH2_KEYGEN_HASH_MD5:
      return EVP_md5();
  }
  return nullptr;
}

std::string_view NextWord(std::string_view* text) {
  while (!text->empty() && (text->front() == ' ' || text->front() == '\t')) {
    text->remove_prefix(1);
  }
  std::size_t end = 0;
  while (end < text->size() && (*text)[end] != ' ' && (*text)[end] != '\t') {
    ++end;
  }
  const std::string_view word = text->substr(0, end);
  text->remove_prefix(end);
  return word;
}

}  // namespace

int ParsePublicKeyLine(std::string_view text, std::string_view* type, SecureBytes* blob) {
  if (text.size() > LIBSSH2_KEYGEN_MAX_TEXT_LENGTH) {
    return LIBSSH2_ERROR_INVAL;
  }
  while (!text.empty() && IsBlank(text.front())) {
    text.remove_prefix(1);
  }
  std::string_view line = text.substr(0, text.find_first_of("\r\n"));
  *type = NextWord(&line);
  const std::string_view encoded = NextWord(&line);
  if (type->empty() || encoded.empty() || !Base64Decode(encoded, false, blob)) {
    return LIBSSH2_ERROR_PROTO;
  }
  WireReader reader(blob->data(), blob->size());
  std::string_view blob_type;
  if (!reader.ReadText(&blob_type) || blob_type != *type) {
    return LIBSSH2_ERROR_PROTO;
  }
  return 0;
}

std::string FormatPublicKeyLine(std::string_view type, ByteSpan blob, std::string_view comment) {
  std::string line(type);
  line.append(" ").append(Base64Encode(blob.data, blob.size));
  if (!comment.empty()) {
    line.append(" ").append(comment);
  }
  return line;
}

int HashBlob(int hash, ByteSpan blob, libssh2_keygen_hash* out) {
  const EVP_MD* digest = DigestFor(hash);
  if (digest == nullptr || out == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  unsigned int length = 0;
  std::memset(out->hash, 0, sizeof out->hash);
  if (EVP_Digest(blob.data, blob.size, out->hash, &length, digest, nullptr) != 1) {
    return LIBSSH2_ERROR_ALLOC;
  }
  out->length = static_cast<unsigned char>(length);
  return 0;
}

int HandOut(std::string_view text, char** out, size_t* out_length) {
  if (out == nullptr || out_length == nullptr) {
    return LIBSSH2_ERROR_INVAL;
  }
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) {
    return LIBSSH2_ERROR_ALLOC;
  }
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  *out = copy;
  *out_length = text.size();
  return 0;
}

}  // namespace keygen
