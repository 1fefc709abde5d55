#include <windows.h>

#include <elf.h>
#include <tpversion.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// This test binary carries a version resource of its own.
TP_VERSION_RESOURCE(7, 6, 9, 1234, "Version resource test binary");

namespace {

namespace fs = std::filesystem;

std::vector<char> ReadBytes(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path &p, const char *data, size_t size) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(data, static_cast<std::streamsize>(size));
}

std::u16string Wide(const std::string &s) { return std::u16string(s.begin(), s.end()); }

class VersionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    self_ = fs::read_symlink("/proc/self/exe");
    char tmpl[] = "/tmp/tp_version_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    image_ = ReadBytes(self_);
    ASSERT_GT(image_.size(), sizeof(Elf64_Ehdr));
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Size and error for a file made from `bytes`.
  std::pair<DWORD, DWORD> Probe(const std::vector<char> &bytes, size_t size) {
    const fs::path p = dir_ / "probe.so";
    WriteBytes(p, bytes.data(), size);
    SetLastError(0);
    DWORD handle = 99;
    const DWORD n = GetFileVersionInfoSizeW(Wide(p.string()).c_str(), &handle);
    const DWORD error = GetLastError();
    if (n) {
      // Whatever a damaged file yields must still be a block that queries
      // safely within its own bounds.
      std::vector<BYTE> block(n);
      EXPECT_TRUE(GetFileVersionInfoW(Wide(p.string()).c_str(), 0, n, block.data()));
      void *value = nullptr;
      UINT len = 0;
      VerQueryValueW(block.data(), TEXT("\\StringFileInfo\\040904B0\\FileVersion"), &value, &len);
    }
    return {n, error};
  }
  // Offset of the version section's header in the image.
  size_t VersionSectionHeader() {
    Elf64_Ehdr eh;
    std::memcpy(&eh, image_.data(), sizeof eh);
    Elf64_Shdr names;
    std::memcpy(&names, image_.data() + eh.e_shoff + eh.e_shstrndx * eh.e_shentsize, sizeof names);
    for (size_t i = 1; i < eh.e_shnum; ++i) {
      Elf64_Shdr sh;
      const size_t at = eh.e_shoff + i * eh.e_shentsize;
      std::memcpy(&sh, image_.data() + at, sizeof sh);
      if (std::strcmp(image_.data() + names.sh_offset + sh.sh_name, ".tpversion") == 0) return at;
    }
    ADD_FAILURE() << "no version section in the test binary";
    return 0;
  }

  fs::path self_, dir_;
  std::vector<char> image_;
};

TEST_F(VersionTest, OwnBinary_FixedInfoStringsAndTranslation) {
  // The program joins paths with "\", which must work too.
  std::string path = self_.string();
  for (char &c : path)
    if (c == '/') c = '\\';
  const std::u16string wpath = Wide(path);
  DWORD handle = 99;
  const DWORD size = GetFileVersionInfoSizeW(wpath.c_str(), &handle);
  ASSERT_GT(size, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(handle, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(wpath.c_str(), 0, size, block.data()));

  VS_FIXEDFILEINFO *info = nullptr;
  UINT len = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), TEXT("\\"), reinterpret_cast<void **>(&info), &len));
  ASSERT_EQ(len, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(info->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(HIWORD(info->dwFileVersionMS), 7);
  EXPECT_EQ(LOWORD(info->dwFileVersionMS), 6);
  EXPECT_EQ(HIWORD(info->dwFileVersionLS), 9);
  EXPECT_EQ(LOWORD(info->dwFileVersionLS), 1234);
  EXPECT_EQ(info->dwProductVersionMS, info->dwFileVersionMS);

  WCHAR *text = nullptr;
  ASSERT_TRUE(VerQueryValueW(block.data(), TEXT("\\StringFileInfo\\040904b0\\FileDescription"),
                             reinterpret_cast<void **>(&text), &len));
  EXPECT_EQ(std::u16string(text), u"Version resource test binary");
  EXPECT_EQ(len, 29u) << "characters, terminator included";
  ASSERT_TRUE(VerQueryValueW(block.data(), TEXT("\\StringFileInfo\\040904B0\\FileVersion"),
                             reinterpret_cast<void **>(&text), &len));
  EXPECT_EQ(std::u16string(text), u"7.6.9.1234");
  WORD *translation = nullptr;
  ASSERT_TRUE(
      VerQueryValueW(block.data(), TEXT("\\VarFileInfo\\Translation"), reinterpret_cast<void **>(&translation), &len));
  ASSERT_EQ(len, 4u);
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 0x04B0);
  EXPECT_FALSE(VerQueryValueW(block.data(), TEXT("\\StringFileInfo\\040904B0\\Missing"),
                              reinterpret_cast<void **>(&text), &len));

  // A buffer shorter than the block: the copy stays queryable within itself.
  std::vector<BYTE> shortBlock(120);
  ASSERT_TRUE(GetFileVersionInfoW(wpath.c_str(), 0, 120, shortBlock.data()));
  EXPECT_TRUE(VerQueryValueW(shortBlock.data(), TEXT("\\"), reinterpret_cast<void **>(&info), &len));
  EXPECT_FALSE(VerQueryValueW(shortBlock.data(), TEXT("\\VarFileInfo\\Translation"),
                              reinterpret_cast<void **>(&translation), &len));
}

TEST_F(VersionTest, FilesWithoutVersion_GiveZeroAndAReason) {
  EXPECT_EQ(GetFileVersionInfoSizeW(TEXT("/nonexistent/QuickTime.qts"), nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetFileVersionInfoSizeW(TEXT("/tmp"), nullptr), 0u) << "a folder";

  const std::string text = "just some text, not a binary\n";
  EXPECT_EQ(Probe(std::vector<char>(text.begin(), text.end()), text.size()),
            std::make_pair(DWORD{0}, DWORD{ERROR_RESOURCE_DATA_NOT_FOUND}));
  EXPECT_EQ(Probe(image_, 0), std::make_pair(DWORD{0}, DWORD{ERROR_RESOURCE_DATA_NOT_FOUND}));

  // The same binary with its version section renamed has none.
  std::vector<char> renamed = image_;
  const size_t at = VersionSectionHeader();
  Elf64_Shdr sh;
  std::memcpy(&sh, renamed.data() + at, sizeof sh);
  Elf64_Ehdr eh;
  std::memcpy(&eh, renamed.data(), sizeof eh);
  Elf64_Shdr names;
  std::memcpy(&names, renamed.data() + eh.e_shoff + eh.e_shstrndx * eh.e_shentsize, sizeof names);
  renamed[names.sh_offset + sh.sh_name + 3] = 'X';
  EXPECT_EQ(Probe(renamed, renamed.size()), std::make_pair(DWORD{0}, DWORD{ERROR_RESOURCE_TYPE_NOT_FOUND}));
}

TEST_F(VersionTest, TruncatedBinary_NeverReadsPastTheFile) {
  // Section headers sit at the end of the file: every cut loses them.
  std::vector<size_t> cuts = {1, 4, 16, 63, 64, 65, 1000};
  for (size_t k = 1; k < 24; ++k) cuts.push_back(image_.size() * k / 24);
  cuts.push_back(image_.size() - 1);
  for (size_t cut : cuts) {
    SCOPED_TRACE(cut);
    auto [size, error] = Probe(image_, cut);
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(error == ERROR_BAD_FORMAT || error == ERROR_RESOURCE_DATA_NOT_FOUND) << error;
  }
}

TEST_F(VersionTest, HostileHeaders_AreRejected) {
  const size_t at = VersionSectionHeader();
  auto patched = [&](auto edit) {
    std::vector<char> bytes = image_;
    edit(bytes);
    return Probe(bytes, bytes.size());
  };
  auto patchEh = [&](auto field) {
    return patched([&](std::vector<char> &b) {
      Elf64_Ehdr eh;
      std::memcpy(&eh, b.data(), sizeof eh);
      field(eh);
      std::memcpy(b.data(), &eh, sizeof eh);
    });
  };
  auto patchSh = [&](auto field) {
    return patched([&](std::vector<char> &b) {
      Elf64_Shdr sh;
      std::memcpy(&sh, b.data() + at, sizeof sh);
      field(sh);
      std::memcpy(b.data() + at, &sh, sizeof sh);
    });
  };
  const std::pair<DWORD, DWORD> bad{0, ERROR_BAD_FORMAT};
  EXPECT_EQ(patchEh([](Elf64_Ehdr &e) { e.e_shoff = ~0ull - 10; }), bad);
  EXPECT_EQ(patchEh([](Elf64_Ehdr &e) { e.e_shnum = 0xFFFF; }), bad);
  EXPECT_EQ(patchEh([](Elf64_Ehdr &e) { e.e_shentsize = 8; }), bad);
  EXPECT_EQ(patchEh([](Elf64_Ehdr &e) { e.e_shstrndx = 0xFFF0; }), bad);
  EXPECT_EQ(patchEh([](Elf64_Ehdr &e) { e.e_ident[EI_CLASS] = ELFCLASS32; }), bad);
  EXPECT_EQ(patchSh([](Elf64_Shdr &s) { s.sh_size = 1ull << 40; }), bad);
  EXPECT_EQ(patchSh([](Elf64_Shdr &s) { s.sh_offset = ~0ull - 2; }), bad);
  EXPECT_EQ(patchSh([](Elf64_Shdr &s) { s.sh_size = 4; }), bad);
  EXPECT_EQ(patchSh([](Elf64_Shdr &s) { s.sh_name = 0x7FFFFFFF; }),
            std::make_pair(DWORD{0}, DWORD{ERROR_RESOURCE_TYPE_NOT_FOUND}));
  // The block's own lengths claiming more than the section holds.
  auto patchBlock = [&](size_t offset, uint16_t value) {
    return patched([&](std::vector<char> &b) {
      Elf64_Shdr sh;
      std::memcpy(&sh, b.data() + at, sizeof sh);
      std::memcpy(b.data() + sh.sh_offset + offset, &value, 2);
    });
  };
  EXPECT_EQ(patchBlock(0, 0xFFFF), bad);
  EXPECT_EQ(patchBlock(0, 3), bad);
  // A child that overruns its parent: the size is fine, queries below fail.
  auto [size, error] = patchBlock(92, 0x7000);
  EXPECT_GT(size, 0u);
}

}  // namespace
