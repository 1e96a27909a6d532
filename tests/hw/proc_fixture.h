// A process file system laid out under a fresh temporary directory, for
// tests of the Linux performance counters: /stat, and per process
// /<pid>/fdinfo/<fd> files of DRM clients. Removed again on destruction.
#ifndef IDLEWICK_TESTS_HW_PROC_FIXTURE_H_
#define IDLEWICK_TESTS_HW_PROC_FIXTURE_H_

#include <stdlib.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace idlewick::testing {

class ProcFixture {
 public:
  ProcFixture() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "idlewick-proc-XXXXXX")
            .string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    root_ = pattern;
  }
  ~ProcFixture() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  ProcFixture(const ProcFixture&) = delete;
  ProcFixture& operator=(const ProcFixture&) = delete;

  const std::string& root() const { return root_; }

  // Writes `text` to root/relative, creating directories on the way.
  void Write(std::string_view relative, std::string_view text) const {
    const std::filesystem::path path = Path(relative);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
  }

  void Remove(std::string_view relative) const {
    std::filesystem::remove_all(Path(relative));
  }

  // A directory entry that cannot be read: tests run as root, where file
  // modes do not keep anything out, but a dangling link still fails to open.
  void WriteUnreadable(std::string_view relative) const {
    const std::filesystem::path path = Path(relative);
    std::filesystem::create_directories(path.parent_path());
    std::filesystem::create_symlink(root_ + "/does-not-exist", path);
  }

  // The aggregate line first, as the kernel prints it, then per-CPU noise.
  void WriteStat(std::string_view cpu_line) const {
    Write("stat", std::string(cpu_line) +
                      "\ncpu0 1 2 3 4 5 6 7 8 0 0\nintr 12345 0 0\n"
                      "ctxt 99\nbtime 1700000000\n");
  }

  void WriteFdinfo(int pid, int fd, std::string_view text) const {
    Write(std::to_string(pid) + "/fdinfo/" + std::to_string(fd), text);
  }

 private:
  std::filesystem::path Path(std::string_view relative) const {
    return std::filesystem::path(root_) / relative;
  }

  std::string root_;
};

// fdinfo text of one DRM client: the generic lines every fd has, then the
// client's identity, then `engine_lines` (e.g. "drm-engine-render:\t5 ns\n").
inline std::string DrmFdinfo(std::string_view driver, std::string_view pdev,
                             std::uint64_t client_id,
                             std::string_view engine_lines) {
  std::string text = "pos:\t0\nflags:\t02100002\nmnt_id:\t26\nino:\t617\n";
  text += "drm-driver:\t" + std::string(driver) + "\n";
  if (!pdev.empty()) text += "drm-pdev:\t" + std::string(pdev) + "\n";
  text += "drm-client-id:\t" + std::to_string(client_id) + "\n";
  text += engine_lines;
  return text;
}

inline constexpr std::string_view kIgpuPdev = "0000:00:02.0";

}  // namespace idlewick::testing

#endif  // IDLEWICK_TESTS_HW_PROC_FIXTURE_H_
