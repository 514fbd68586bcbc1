#include "platform/sim/state_files.h"

#include <windows.h>

#include <atomic>
#include <random>

#include "platform/windows/windows_text.h"

namespace tamrik::sim::state_files {

namespace {

using platform::windows::systemErrorText;

std::string lastErrorText() { return systemErrorText(::GetLastError()); }

// A handle closed when it goes out of scope.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (valid()) ::CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }
  bool close() {
    const bool ok = ::CloseHandle(h_) != 0;
    h_ = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE h_;
};

// Six hex digits that differ from call to call and from process to process.
std::wstring uniqueSuffix() {
  static std::atomic<unsigned> counter{0};
  static const unsigned seed = std::random_device{}() ^ ::GetCurrentProcessId();
  const unsigned value = (seed + 0x9E3779B9u * ++counter) & 0xFFFFFFu;
  wchar_t text[8];
  static constexpr wchar_t kHex[] = L"0123456789abcdef";
  for (int i = 5; i >= 0; --i) text[5 - i] = kHex[(value >> (4 * i)) & 0xF];
  text[6] = L'\0';
  return text;
}

// Creates a new file whose name is base plus a unique suffix; never opens an existing one.
HANDLE createUnique(const std::wstring& base, DWORD flags, std::filesystem::path& created) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring name = base + uniqueSuffix();
    HANDLE h = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, flags, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      created = name;
      return h;
    }
    if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

std::string probeWritable(const std::filesystem::path& folder) {
  std::filesystem::path created;
  Handle probe(createUnique((folder / L".write-test.").wstring(),
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, created));
  return probe.valid() ? std::string() : lastErrorText();
}

ReadOutcome readSmallFile(const std::filesystem::path& file, std::size_t limit) {
  ReadOutcome out;
  Handle h(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      out.missing = true;
    } else {
      out.error = systemErrorText(code);
    }
    return out;
  }
  if (::GetFileType(h.get()) != FILE_TYPE_DISK) {
    out.error = "not a regular file";
    return out;
  }
  char buffer[4096];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(h.get(), buffer, sizeof buffer, &n, nullptr)) {
      out.error = lastErrorText();
      break;
    }
    if (n == 0) break;
    out.text.append(buffer, n);
    if (out.text.size() > limit) {
      out.tooLarge = true;
      break;
    }
  }
  return out;
}

TemporaryOutcome writeTemporary(const std::filesystem::path& target, std::string_view text) {
  TemporaryOutcome out;
  Handle h(createUnique(target.wstring() + L".tmp.", FILE_ATTRIBUTE_NORMAL, out.path));
  if (!h.valid()) {
    out.error = lastErrorText();
    return out;
  }
  while (!text.empty()) {
    DWORD n = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 20));
    if (!::WriteFile(h.get(), text.data(), chunk, &n, nullptr) || n == 0) {
      out.error = lastErrorText();
      return out;
    }
    text.remove_prefix(n);
  }
  if (!::FlushFileBuffers(h.get()) || !h.close()) out.error = lastErrorText();
  return out;
}

std::string replaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  // Write-through: the move is on the disk when the call returns, the folder needs no sync.
  const bool moved = ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  return moved ? std::string() : lastErrorText();
}

std::string syncFolder(const std::filesystem::path&) { return {}; }

void removeQuietly(const std::filesystem::path& file) { ::DeleteFileW(file.c_str()); }

}  // namespace tamrik::sim::state_files
