// The built payload archive (tools/build-payload.sh) against what the install reads from it, checked
// with the 7z command line and GRUB's own tools. VELUND_PAYLOAD_ARCHIVE names the archive; without
// it the tests skip.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr char kPassword[] = "qolvast";

struct Item {
  bool folder = false;
  bool encrypted = false;
  unsigned long long size = 0;
};

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}


bool HaveTool(const std::string& name) {
  return RunShell("command -v " + name + " >/dev/null") == 0;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Items of `7z l -slt`, by stored path. The archive's own block comes first and ends at "----------".
std::map<std::string, Item> ParseListing(const std::string& listing, std::string* archiveBlock) {
  std::map<std::string, Item> items;
  std::istringstream in(listing);
  std::string line, path;
  Item item;
  bool inItems = false;
  auto flush = [&] {
    if (!path.empty()) items[path] = item;
    path.clear();
    item = Item{};
  };
  while (std::getline(in, line)) {
    if (line == "----------") {
      inItems = true;
      continue;
    }
    if (!inItems) {
      if (archiveBlock) *archiveBlock += line + "\n";
      continue;
    }
    if (line.empty()) {
      flush();
    } else if (line.rfind("Path = ", 0) == 0) {
      flush();
      path = line.substr(7);
    } else if (line.rfind("Size = ", 0) == 0) {
      item.size = std::strtoull(line.c_str() + 7, nullptr, 10);
    } else if (line == "Encrypted = +") {
      item.encrypted = true;
    } else if (line == "Folder = +") {
      item.folder = true;
    }
  }
  flush();
  return items;
}

class PayloadArchiveTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
#ifdef VELUND_PAYLOAD_ARCHIVE
    archive_ = VELUND_PAYLOAD_ARCHIVE;
#endif
    if (archive_.empty() || !HaveTool("7z")) return;
    // The listing is made with a wrong password: the header must be readable without the real one.
    listingResult_ = RunShell("7z l -slt -pnot-the-password " + Quote(archive_), &listing_);
    items_ = ParseListing(listing_, &archiveBlock_);

    char pattern[] = "/tmp/velund-payload-XXXXXX";
    if (!mkdtemp(pattern)) return;
    extracted_ = pattern;
    extractResult_ = RunShell("7z x -y -bd -p" + std::string(kPassword) + " -o" + Quote(extracted_.string()) + " " +
                         Quote(archive_));
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    if (!extracted_.empty()) fs::remove_all(extracted_, ec);
  }
  void SetUp() override {
    if (archive_.empty()) GTEST_SKIP() << "VELUND_PAYLOAD_ARCHIVE is not set for this build";
    if (!HaveTool("7z")) GTEST_SKIP() << "no 7z command (package p7zip-full)";
    ASSERT_TRUE(fs::is_regular_file(archive_)) << archive_ << " was not built";
    ASSERT_EQ(listingResult_, 0) << listing_;
    ASSERT_EQ(extractResult_, 0) << "7z x with the password failed";
  }

  static fs::path Extracted(const std::string& path) { return extracted_ / path; }

  static bool HasFile(const std::string& path) {
    auto it = items_.find(path);
    return it != items_.end() && !it->second.folder;
  }

  // A folder of the payload exists after extraction only when a file lies in it.
  static bool HasFileUnder(const std::string& folder) {
    for (const auto& [path, item] : items_)
      if (!item.folder && path.rfind(folder, 0) == 0) return true;
    return false;
  }

  static bool IsStandIn(const std::string& path) {
    return ReadFile(Extracted(path)).rfind("VELUND PAYLOAD STAND-IN\r\n", 0) == 0;
  }

  static inline std::string archive_;
  static inline std::string listing_;
  static inline std::string archiveBlock_;
  static inline int listingResult_ = -1;
  static inline int extractResult_ = -1;
  static inline std::map<std::string, Item> items_;
  static inline fs::path extracted_;
};

TEST_F(PayloadArchiveTest, HoldsEveryFileTheInstallReads) {
  const std::vector<std::string> required = {
      "files/KYR/grub/grub.cfg",
      "files/KYR/grub/themes/splash.png",
      "files/KYR/PXE/MS/boot.sdi",
      "files/KYR/Tools/Velund/Info.ini",
      "files/EFI/velund/grubx64.efi",
      "files/EFI/velund/grubia32.efi",
      "files/EFI/velund/grubaa64.efi",
      "files/EFI/velund/mmx64.efi",
      "files/EFI/velund/mmaa64.efi",
      "files/EFI/velund/shimx64.efi",
      "files/EFI/velund/shimaa64.efi",
      "files/EFI/ENROLL_THIS_KEY_IN_MOKMANAGER.cer",
      "files/Velund_Orrin.cmd",
      "tools/grub-install.exe",
      // What the GRUB installer needs from -d grub\i386-pc for a disk image and its core image.
      "grub/i386-pc/boot.img",
      "grub/i386-pc/diskboot.img",
      "grub/i386-pc/kernel.img",
      "grub/i386-pc/lzma_decompress.img",
      "grub/i386-pc/moddep.lst",
      "grub/i386-pc/modinfo.sh",  // names the platform the folder is for
      "grub/i386-pc/biosdisk.mod",
      "grub/i386-pc/part_msdos.mod",
      "grub/i386-pc/part_gpt.mod",
      "grub/i386-pc/ntfs.mod",
      "grub/i386-pc/exfat.mod",
      "grub/i386-pc/fat.mod",
      "grub/i386-pc/search.mod",
      "grub/i386-pc/search_fs_uuid.mod",
  };
  for (const auto& path : required) EXPECT_TRUE(HasFile(path)) << path;
  // CopyFileW into these folders needs them on the target, and extraction makes no empty folders.
  EXPECT_TRUE(HasFileUnder("files/KYR/Tools/7-Zip/"));
  EXPECT_TRUE(HasFileUnder("files/KYR/Tools/Velund/"));
}

TEST_F(PayloadArchiveTest, HoldsNothingOutsideTheThreeFoldersOrInTheWayOfTheInstall) {
  ASSERT_FALSE(items_.empty());
  for (const auto& [path, item] : items_) {
    const bool top = path.rfind("files/", 0) == 0 || path.rfind("grub/", 0) == 0 || path.rfind("tools/", 0) == 0 ||
                     path == "files" || path == "grub" || path == "tools";
    EXPECT_TRUE(top) << path;
    EXPECT_EQ(path.find('\\'), std::string::npos) << path;
    EXPECT_EQ(path.find(".."), std::string::npos) << path;
    EXPECT_NE(path.front(), '/') << path;
    // The install creates the menu folder and its stores only when they are missing.
    EXPECT_NE(path.rfind("files/KYR/Menu", 0), 0u) << path;
  }
  // Both would overwrite the files that the extraction itself is reading.
  EXPECT_FALSE(items_.count("7z.dll"));
  EXPECT_FALSE(items_.count("Velund.7z"));
}

TEST_F(PayloadArchiveTest, ContentsAreEncryptedAndTheHeaderIsNot) {
  EXPECT_NE(archiveBlock_.find("Type = 7z"), std::string::npos) << archiveBlock_;
  EXPECT_NE(archiveBlock_.find("7zAES"), std::string::npos) << archiveBlock_;
  std::size_t files = 0;
  for (const auto& [path, item] : items_) {
    if (item.folder || item.size == 0) continue;  // no data, nothing to encrypt
    ++files;
    EXPECT_TRUE(item.encrypted) << path;
  }
  EXPECT_GT(files, 100u);
}

TEST_F(PayloadArchiveTest, TestsWithThePasswordAndFailsWithAnother) {
  std::string out;
  EXPECT_EQ(RunShell("7z t -bd -p" + std::string(kPassword) + " " + Quote(archive_), &out), 0) << out;
  EXPECT_NE(RunShell("7z t -bd -pwrong " + Quote(archive_), &out), 0) << out;
}

TEST_F(PayloadArchiveTest, UefiLoadersAreImagesOfTheirFirmware) {
  if (!HaveTool("grub-file")) GTEST_SKIP() << "no grub-file (package grub-common)";
  const std::string dir = "files/EFI/velund/";
  EXPECT_EQ(RunShell("grub-file --is-i386-efi " + Quote(Extracted(dir + "grubia32.efi"))), 0);
  EXPECT_NE(RunShell("grub-file --is-x86_64-efi " + Quote(Extracted(dir + "grubia32.efi"))), 0);
  for (const char* name : {"grubx64.efi", "shimx64.efi", "mmx64.efi"})
    EXPECT_EQ(RunShell("grub-file --is-x86_64-efi " + Quote(Extracted(dir + name))), 0) << name;
  for (const char* name : {"grubaa64.efi", "shimaa64.efi", "mmaa64.efi"})
    EXPECT_EQ(RunShell("grub-file --is-arm64-efi " + Quote(Extracted(dir + name))), 0) << name;
  for (const char* name : {"grubx64.efi", "grubia32.efi", "grubaa64.efi", "shimx64.efi", "mmx64.efi",
                           "shimaa64.efi", "mmaa64.efi"})
    EXPECT_FALSE(IsStandIn(dir + name)) << name;
}

TEST_F(PayloadArchiveTest, GrubImagesCarryTheDriversAndMenusTheyNeed) {
  // The FAT32 grub.cfg searches the NTFS/exFAT volume before any module can be loaded from it, and
  // under Secure Boot no module is loaded from disk at all. Each embedded module carries its name
  // NUL-terminated in its .modname section.
  for (const char* name : {"grubx64.efi", "grubia32.efi", "grubaa64.efi"}) {
    const std::string image = ReadFile(Extracted(std::string("files/EFI/velund/") + name));
    for (const char* module : {"ntfs", "exfat", "fat", "part_msdos", "part_gpt", "search_fs_uuid", "configfile",
                               "normal", "gfxmenu", "png", "serial", "halt", "reboot"})
      EXPECT_NE(image.find(std::string(1, '\0') + module + '\0'), std::string::npos) << name << ": " << module;
    EXPECT_EQ(image.find(std::string(1, '\0') + "xfs" + '\0'), std::string::npos) << "the check finds anything";
    // shim refuses an image without SBAT data; the generation is that of Debian's GRUB.
    EXPECT_NE(image.find("sbat,1,SBAT Version,sbat,1,"), std::string::npos) << name;
    EXPECT_NE(image.find("\ngrub,5,"), std::string::npos) << name;
  }
}

TEST_F(PayloadArchiveTest, GrubImagesAreSignedByTheKeyWhoseCertificateIsShipped) {
  if (!HaveTool("sbverify") || !HaveTool("openssl")) GTEST_SKIP() << "no sbverify or openssl";
  const fs::path signing = fs::path(VELUND_PAYLOAD_ARCHIVE).parent_path() / "signing";
  const std::string crt = (signing / "velund.crt").string();
  ASSERT_TRUE(fs::exists(crt));
  for (const char* name : {"grubx64.efi", "grubia32.efi", "grubaa64.efi"}) {
    const std::string image = Extracted(std::string("files/EFI/velund/") + name).string();
    std::string out;
    EXPECT_EQ(RunShell("sbverify --cert " + Quote(crt) + " " + Quote(image), &out), 0) << name << ": " << out;
  }
  // The certificate the user enrols is the DER form of that key's certificate.
  const std::string cer = Extracted("files/EFI/ENROLL_THIS_KEY_IN_MOKMANAGER.cer").string();
  std::string out;
  EXPECT_EQ(RunShell("{ openssl x509 -in " + Quote(crt) + " -outform DER | cmp - " + Quote(cer) + "; }", &out), 0)
      << out;
  // The private key stays in the build tree.
  for (const auto& [path, item] : items_) EXPECT_EQ(path.find(".key"), std::string::npos) << path;
}

TEST_F(PayloadArchiveTest, GrubMenuParsesAndOffersTheBasicEntries) {
  const fs::path cfg = Extracted("files/KYR/grub/grub.cfg");
  const std::string text = ReadFile(cfg);
  if (HaveTool("grub-script-check")) {
    std::string out;
    EXPECT_EQ(RunShell("grub-script-check " + Quote(cfg.string()), &out), 0) << out;
  }
  for (const char* entry : {"menuentry \"Boot from the first hard disk\"", "menuentry \"Reboot\"",
                            "menuentry \"Power off\"", "echo \"Velund Orrin\"", "terminal_output gfxterm $velund_serial",
                            "set theme=$prefix/themes/theme.txt"})
    EXPECT_NE(text.find(entry), std::string::npos) << entry;
  EXPECT_NE(ReadFile(Extracted("files/KYR/grub/themes/theme.txt")).find("title-text: \"Velund Orrin\""),
            std::string::npos);
  // Everything the menu names relative to $prefix must be in the payload.
  EXPECT_NE(text.find("$prefix/fonts/unicode.pf2"), std::string::npos);
  EXPECT_TRUE(HasFile("files/KYR/grub/fonts/unicode.pf2"));
  EXPECT_TRUE(HasFile("files/KYR/grub/x86_64-efi/moddep.lst"));
  EXPECT_TRUE(HasFile("files/KYR/grub/i386-efi/moddep.lst"));
  const std::string png = ReadFile(Extracted("files/KYR/grub/themes/splash.png"));
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
}

TEST_F(PayloadArchiveTest, WindowsTextFilesAndTheCertificateHaveTheirFormats) {
  const std::string ini = ReadFile(Extracted("files/KYR/Tools/Velund/Info.ini"));
  EXPECT_NE(ini.find("[Info]\r\n"), std::string::npos);
  const std::string cmd = ReadFile(Extracted("files/Velund_Orrin.cmd"));
  EXPECT_EQ(cmd.rfind("@echo off\r\n", 0), 0u);
  for (const std::string& text : {ini, cmd})
    for (std::size_t i = text.find('\n'); i != std::string::npos; i = text.find('\n', i + 1))
      ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
  // MokManager enrols DER, not PEM.
  const std::string cer = ReadFile(Extracted("files/EFI/ENROLL_THIS_KEY_IN_MOKMANAGER.cer"));
  ASSERT_GE(cer.size(), 2u);
  EXPECT_EQ(static_cast<unsigned char>(cer[0]), 0x30);
  EXPECT_EQ(static_cast<unsigned char>(cer[1]), 0x82);
  if (HaveTool("openssl")) {
    const std::string path = Extracted("files/EFI/ENROLL_THIS_KEY_IN_MOKMANAGER.cer").string();
    EXPECT_EQ(RunShell("openssl x509 -inform DER -noout -in " + Quote(path)), 0);
  }
}

TEST_F(PayloadArchiveTest, StandInsStandOnlyWhereDebianHasNothing) {
  EXPECT_TRUE(IsStandIn("tools/grub-install.exe"));
  EXPECT_TRUE(IsStandIn("files/KYR/Tools/Velund/Velund_Orrin.exe"));
  EXPECT_TRUE(IsStandIn("files/KYR/PXE/MS/boot.sdi"));
  for (const char* path : {"grub/i386-pc/boot.img", "grub/i386-pc/kernel.img", "files/KYR/grub/grub.cfg"})
    EXPECT_FALSE(IsStandIn(path)) << path;
  EXPECT_EQ(fs::file_size(Extracted("grub/i386-pc/boot.img")), 512u);
}

}  // namespace
