// amxnet keys: CURVE key pairs in a folder, their fingerprints, and the
// publisher's list of subscribers it lets in. A key file holds one key as 40
// Z85 characters and a newline; the secret key file is created with mode 0600
// (on Windows: an access list for its owner alone) and never replaced.
#include "amxnet.h"

#include <zmq.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace amxnet {

namespace fs = std::filesystem;

namespace {

// SHA-256 of a short message (a key's 32 bytes), for fingerprints a person
// can compare without a forged key matching them.
std::vector<uint8_t> sha256(const uint8_t* data, size_t size)
{
  static const uint32_t k[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
      0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
      0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
      0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
      0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
      0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
      0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
  uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::vector<uint8_t> m(data, data + size);
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  const uint64_t bits = static_cast<uint64_t>(size) * 8;
  for (int i = 7; i >= 0; --i) m.push_back(static_cast<uint8_t>(bits >> (i * 8)));
  auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
  for (size_t block = 0; block < m.size(); block += 64) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = static_cast<uint32_t>(m[block + 4 * i]) << 24 | static_cast<uint32_t>(m[block + 4 * i + 1]) << 16 |
             static_cast<uint32_t>(m[block + 4 * i + 2]) << 8 | m[block + 4 * i + 3];
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; ++i) {
      const uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
      const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      hh = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
  }
  std::vector<uint8_t> out;
  for (uint32_t v : h)
    for (int i = 3; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (i * 8)));
  return out;
}

#ifdef _WIN32
// Creates path for writing, failing if it exists. Windows has no mode bits: a
// file for its owner alone (a mode without group or other bits) gets an access
// list that lets in only the user running this program and inherits nothing
// from its folder, which may let every user of the machine read it.
HANDLE create_new(const fs::path& path, int mode)
{
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
  SECURITY_DESCRIPTOR descriptor;
  std::vector<unsigned char> user, acl;
  if ((mode & 077) == 0) {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return INVALID_HANDLE_VALUE;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user.resize(size);
    const bool got = GetTokenInformation(token, TokenUser, user.data(), size, &size);
    CloseHandle(token);
    if (!got) return INVALID_HANDLE_VALUE;
    PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    acl.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
    ACL* list = reinterpret_cast<ACL*>(acl.data());
    if (!InitializeAcl(list, static_cast<DWORD>(acl.size()), ACL_REVISION) ||
        !AddAccessAllowedAce(list, ACL_REVISION, FILE_ALL_ACCESS, sid) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
      return INVALID_HANDLE_VALUE;
    attributes.lpSecurityDescriptor = &descriptor;
  }
  return CreateFileW(path.wstring().c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}
#endif

// Creates path with text, failing if it exists (the check and the creation
// are one step, so two keygens never both write).
bool write_new(const fs::path& path, const std::string& text, int mode, std::string& error)
{
#ifdef _WIN32
  const HANDLE file = create_new(path, mode);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD why = GetLastError();
    error = why == ERROR_FILE_EXISTS
                ? path.string() + " exists: not replaced"
                : "cannot create " + path.string() + " (Windows error " + std::to_string(why) + ")";
    return false;
  }
  DWORD written = 0;
  const bool ok =
      WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
  CloseHandle(file);
#else
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
  if (fd < 0) {
    error = errno == EEXIST ? path.string() + " exists: not replaced"
                            : "cannot create " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
#endif
  if (!ok) error = "cannot write " + path.string();
  return ok;
}

}  // namespace

std::string key_fingerprint(const std::string& z85)
{
  uint8_t raw[32];
  if (z85.size() != 40 || !zmq_z85_decode(raw, z85.c_str())) return "?";
  return fingerprint_text(sha256(raw, sizeof raw).data());
}

bool read_key(const std::string& path, std::string& z85, std::string& error)
{
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    error = "cannot read the key file " + path;
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  uint8_t raw[32];
  if (text.size() != 40 || !zmq_z85_decode(raw, text.c_str())) {
    error = path + " holds no key (40 Z85 characters)";
    return false;
  }
  z85 = text;
  return true;
}

bool generate_keys(const std::string& dir, std::string& fingerprint, std::string& error)
{
  char public_key[41], secret_key[41];
  if (zmq_curve_keypair(public_key, secret_key) != 0) {
    error = std::string("cannot make a key pair: ") + zmq_strerror(zmq_errno());
    return false;
  }
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    error = "cannot create " + dir + ": " + ec.message();
    return false;
  }
  const fs::path folder(dir);
  if (fs::exists(folder / kPublicKeyFile, ec)) {
    error = (folder / kPublicKeyFile).string() + " exists: not replaced";
    return false;
  }
  if (!write_new(folder / kSecretKeyFile, std::string(secret_key) + "\n", 0600, error) ||
      !write_new(folder / kPublicKeyFile, std::string(public_key) + "\n", 0644, error))
    return false;
  fingerprint = key_fingerprint(public_key);
  return true;
}

bool load_keys(const std::string& dir, bool subscriber, Keys& keys, std::string& error)
{
  const fs::path folder(dir);
  if (!read_key((folder / kSecretKeyFile).string(), keys.secret_key, error) ||
      !read_key((folder / kPublicKeyFile).string(), keys.public_key, error))
    return false;
  char derived[41];
  if (zmq_curve_public(derived, keys.secret_key.c_str()) != 0 || keys.public_key != derived) {
    error = (folder / kPublicKeyFile).string() + " is not the public key of " + (folder / kSecretKeyFile).string();
    return false;
  }
  if (subscriber) return read_key((folder / kServerKeyFile).string(), keys.server_key, error);
  const fs::path allowed = folder / kAllowedFolder;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(allowed, ec)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".key") continue;
    std::string key;
    if (!read_key(entry.path().string(), key, error)) return false;
    keys.allowed.push_back(key);
  }
  if (ec) {
    error = "cannot read " + allowed.string() + ": " + ec.message();
    return false;
  }
  if (keys.allowed.empty()) {
    error = "no subscriber keys (*.key) in " + allowed.string() + ": nobody could subscribe";
    return false;
  }
  return true;
}

bool pair_keys(const std::string& server_dir, const std::string& subscriber_dir, std::string& server_fingerprint,
               std::string& subscriber_fingerprint, std::string& error)
{
  const fs::path server(server_dir), subscriber(subscriber_dir);
  fs::path named = subscriber.lexically_normal();
  if (named.filename().empty()) named = named.parent_path();  // "sub/"
  const std::string name = named.filename().string();
  const fs::path allowed = server / kAllowedFolder / (name + ".key");
  std::error_code ec;
  if (name.empty() || name == "." || name == "..")
    return error = "the subscriber's folder needs a name (it names its key in allowed/)", false;
  if (fs::exists(allowed, ec)) return error = allowed.string() + " exists: not replaced", false;
  // The publisher's pair is kept when it has one (more subscribers join it).
  if (!fs::exists(server / kPublicKeyFile, ec) && !generate_keys(server_dir, server_fingerprint, error)) return false;
  std::string server_key, subscriber_key;
  if (!read_key((server / kPublicKeyFile).string(), server_key, error) ||
      !generate_keys(subscriber_dir, subscriber_fingerprint, error) ||
      !read_key((subscriber / kPublicKeyFile).string(), subscriber_key, error))
    return false;
  server_fingerprint = key_fingerprint(server_key);
  fs::create_directories(server / kAllowedFolder, ec);
  if (ec) return error = "cannot create " + (server / kAllowedFolder).string() + ": " + ec.message(), false;
  return write_new(subscriber / kServerKeyFile, server_key + "\n", 0644, error) &&
         write_new(allowed, subscriber_key + "\n", 0644, error);
}

}  // namespace amxnet
