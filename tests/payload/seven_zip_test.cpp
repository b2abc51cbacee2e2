// The archive binding against the real archive library (7z.so, copied onto the emulated C: drive
// as 7z.dll), with archives made by the 7z command.
#include "payload/seven_zip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "platform/emulated/faults.h"
#include "platform/emulated/paths.h"
#include "platform/seam.h"
#include "tests/test_machine.h"

namespace {

namespace fs = std::filesystem;
using namespace sevenzip;

constexpr char kLibrary[] = "/usr/lib/p7zip/7z.so";
constexpr char kWork[] = "C:\\Users\\Setup\\AppData\\Local\\Temp\\kyrextract";
constexpr char kPassword[] = "qolvast";

// Deterministic bytes that do not compress.
std::string Noise(std::size_t size, std::uint32_t seed) {
  std::string data(size, '\0');
  for (char& c : data) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return data;
}

// An in-memory stream that remembers the largest single write.
class MemoryStream final : public TStream {
 public:
  DWORD Read(void* buffer, UInt32 size, UInt32& read) override {
    read = static_cast<UInt32>(std::min<std::size_t>(size, data.size() - std::min(position, data.size())));
    std::memcpy(buffer, data.data() + position, read);
    position += read;
    return ERROR_SUCCESS;
  }
  DWORD Write(const void* buffer, UInt32 size, UInt32& written) override {
    if (position + size > data.size()) data.resize(position + size);
    std::memcpy(data.data() + position, buffer, size);
    position += size;
    written = size;
    largestWrite = std::max(largestWrite, size);
    return ERROR_SUCCESS;
  }
  DWORD Seek(Int64 offset, UInt32 origin, UInt64& newPosition) override {
    const Int64 base = origin == 0 ? 0 : origin == 1 ? static_cast<Int64>(position)
                                                     : static_cast<Int64>(data.size());
    position = static_cast<std::size_t>(base + offset);
    newPosition = position;
    return ERROR_SUCCESS;
  }
  DWORD SetSize(UInt64 size) override {
    data.resize(size);
    return ERROR_SUCCESS;
  }
  DWORD GetSize(UInt64& size) override {
    size = data.size();
    return ERROR_SUCCESS;
  }

  std::string data;
  std::size_t position = 0;
  UInt32 largestWrite = 0;
};

// A stream on a full disk.
class FullStream final : public TStream {
 public:
  DWORD Read(void*, UInt32, UInt32& read) override { return read = 0, ERROR_SUCCESS; }
  DWORD Write(const void*, UInt32, UInt32& written) override {
    ++writes;
    written = 0;
    return ERROR_DISK_FULL;
  }
  DWORD Seek(Int64, UInt32, UInt64& position) override { return position = 0, ERROR_SUCCESS; }
  DWORD SetSize(UInt64) override { return ERROR_SUCCESS; }
  DWORD GetSize(UInt64& size) override { return size = 0, ERROR_SUCCESS; }
  int writes = 0;
};

struct PasswordAnswer {
  std::string password;
  HRESULT result = S_OK;
  int calls = 0;
};

HRESULT AnswerPassword(void* sender, std::string& password) {
  auto* answer = static_cast<PasswordAnswer*>(sender);
  ++answer->calls;
  password = answer->password;
  return answer->result;
}

struct Progress {
  Int64 total = -1;
  Int64 completed = -1;
};

HRESULT RecordProgress(void* sender, bool total, Int64 value) {
  auto* progress = static_cast<Progress*>(sender);
  (total ? progress->total : progress->completed) = value;
  return S_OK;
}

struct Collected {
  std::map<UInt32, std::unique_ptr<MemoryStream>> streams;
};

HRESULT CollectStream(void* sender, UInt32 index, ComPtr<ISequentialOutStream>& outStream) {
  auto& stream = static_cast<Collected*>(sender)->streams[index];
  stream = std::make_unique<MemoryStream>();
  outStream = ComPtr<ISequentialOutStream>(
      static_cast<IOutStream*>(new T7zStream(stream.get(), TStreamOwnership::soReference)));
  return S_OK;
}

class SevenZipMachineTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    host_ = directory_.parent_path() / "host";
    fs::create_directories(host_);
    ASSERT_TRUE(win::CreateDirectoryW(kWork, nullptr));
    ASSERT_TRUE(win::SetCurrentDirectoryW(kWork));
    CopyIn(kLibrary, "7z.dll");
  }

  // The host file behind an emulated path.
  static fs::path HostFile(std::string_view path) {
    emu::FilePath parsed;
    EXPECT_EQ(emu::ParseFilePath(path, parsed), ERROR_SUCCESS) << path;
    auto locked = emu::Storage::Lock();
    emu::HostPath resolved;
    EXPECT_EQ(emu::ResolveFilePath(locked.storage, parsed, resolved), ERROR_SUCCESS) << path;
    return resolved.host;
  }

  static void CopyIn(const fs::path& host, std::string_view path) {
    fs::copy_file(host, HostFile(path), fs::copy_options::overwrite_existing);
  }

  static void WriteFile(std::string_view path, const std::string& data) {
    win::Handle file(win::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid()) << path;
    DWORD written = 0;
    ASSERT_TRUE(win::WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written,
                               nullptr));
  }

  static bool Exists(std::string_view path) {
    return win::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
  }

  // Everything below an emulated folder: relative path with "/" -> contents, "<dir>" for folders.
  static std::map<std::string, std::string> Listing(std::string_view folder) {
    std::map<std::string, std::string> listing;
    const fs::path root = HostFile(folder);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      const std::string name = fs::relative(entry.path(), root).generic_string();
      if (entry.is_directory()) {
        listing[name] = "<dir>";
      } else {
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream data;
        data << in.rdbuf();
        listing[name] = data.str();
      }
    }
    return listing;
  }

  // A host folder with `entries` (a name ending in "/" is an empty folder), archived by the 7z
  // command into the emulated file `archive` with `options`.
  void MakeArchive(const std::map<std::string, std::string>& entries, std::string_view archive,
                   const std::string& options) {
    const fs::path source = host_ / ("src" + std::to_string(++sources_));
    fs::create_directories(source);
    for (const auto& [name, data] : entries) {
      if (name.back() == '/') {
        fs::create_directories(source / name);
        continue;
      }
      fs::create_directories((source / name).parent_path());
      std::ofstream(source / name, std::ios::binary) << data;
    }
    const std::string command = "cd '" + source.string() + "' && 7z a -bd -y " + options +
                                " '" + HostFile(archive).string() + "' '*' >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }

  // Renames an item of an emulated archive with the 7z command.
  void RenameItem(std::string_view archive, const std::string& from, const std::string& to) {
    const std::string command = "7z rn -bd '" + HostFile(archive).string() + "' '" + from +
                                "' '" + to + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }

  static std::string ErrorOf(const std::function<void()>& action) {
    try {
      action();
    } catch (const std::exception& error) {
      return error.what();
    }
    return "(no error)";
  }

  fs::path host_;
  int sources_ = 0;
};

class SevenZipLibraryTest : public SevenZipMachineTest {};

// ---- Libraries on the emulated machine ------------------------------------------------------------

TEST_F(SevenZipLibraryTest, LoadsFromTheCurrentDirectoryAndResolvesOnlyItsOwnExports) {
  win::Library library(win::LoadLibraryW("7z.dll"));  // a bare name: the current directory
  ASSERT_TRUE(library.valid()) << win::GetLastError();
  EXPECT_NE(win::GetProcAddress(library.get(), "CreateObject"), nullptr);
  EXPECT_NE(win::GetProcAddress(library.get(), "GetHandlerProperty"), nullptr);
  // The C library is a dependency of the module, not one of its exports.
  win::SetLastError(0);
  EXPECT_EQ(win::GetProcAddress(library.get(), "fopen"), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_PROC_NOT_FOUND);

  // The same file by absolute and relative paths is the same module, counted.
  win::Library again(win::LoadLibraryW(std::string(kWork) + "\\7z.dll"));
  EXPECT_EQ(again.get(), library.get());
  again.reset();
  EXPECT_NE(win::GetProcAddress(library.get(), "CreateObject"), nullptr);

  // A loaded module's file can be read but not deleted.
  EXPECT_FALSE(win::DeleteFileW("7z.dll"));
  HMODULE module = library.release();
  EXPECT_TRUE(win::FreeLibrary(module));
  EXPECT_FALSE(win::FreeLibrary(module));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(win::GetProcAddress(module, "CreateObject"), nullptr);
  EXPECT_TRUE(win::DeleteFileW("7z.dll"));
}

TEST_F(SevenZipLibraryTest, LoadLibraryExWSearchesAsWindowsDoes) {
  const std::string full = std::string(kWork) + "\\7z.dll";
  // Flag combinations Windows refuses.
  for (DWORD flags : {LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_WITH_ALTERED_SEARCH_PATH,
                      LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_WITH_ALTERED_SEARCH_PATH}) {
    win::SetLastError(0);
    EXPECT_EQ(win::LoadLibraryExW(full, nullptr, flags), nullptr) << flags;
    EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER) << flags;
  }
  // The library's own folder needs a fully qualified path to take it from.
  EXPECT_EQ(win::LoadLibraryExW("7z.dll", nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(win::LoadLibraryExW(full, reinterpret_cast<HANDLE>(4), 0), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);

  // A bare name: the standard order ends with the current directory; the system folder alone
  // does not hold it.
  win::Library standard(win::LoadLibraryExW("7z.dll", nullptr, 0));
  EXPECT_TRUE(standard.valid()) << win::GetLastError();
  standard.reset();
  EXPECT_EQ(win::LoadLibraryExW("7z.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_MOD_NOT_FOUND);

  // SetDefaultDllDirectories takes only its four flags, and at least one.
  for (DWORD flags : {0u, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR, LOAD_WITH_ALTERED_SEARCH_PATH}) {
    EXPECT_FALSE(win::SetDefaultDllDirectories(flags)) << flags;
    EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER) << flags;
  }
  // With the system folder as the default, a bare name no longer reaches the current directory,
  // while the full path loads, with the library's folder and the system folder for what it needs.
  EXPECT_TRUE(win::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32));
  EXPECT_EQ(win::LoadLibraryExW("7z.dll", nullptr, 0), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_MOD_NOT_FOUND);
  win::Library byPath(win::LoadLibraryExW(
      full, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
  EXPECT_TRUE(byPath.valid()) << win::GetLastError();
}

TEST_F(SevenZipLibraryTest, TheLoaderOpensTheFileForReadingAndSharesItForDeleting) {
  // A reader that shares reading only does not stand in the way of the load...
  win::Handle reader(win::CreateFileW("7z.dll", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(reader.valid());
  win::Library library(win::LoadLibraryExW(std::string(kWork) + "\\7z.dll", nullptr, 0));
  EXPECT_TRUE(library.valid()) << win::GetLastError();
  library.reset();
  reader.reset();
  // ...a writer does, whatever it shares.
  win::Handle writer(win::CreateFileW("7z.dll", GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(writer.valid());
  EXPECT_EQ(win::LoadLibraryExW(std::string(kWork) + "\\7z.dll", nullptr, 0), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_SHARING_VIOLATION);
}

TEST_F(SevenZipLibraryTest, FailuresCarryWindowsCodes) {
  EXPECT_EQ(win::LoadLibraryW("missing.dll"), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(win::LoadLibraryW("Q:\\7z.dll"), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(win::LoadLibraryW(kWork), nullptr);  // a folder
  EXPECT_EQ(win::GetLastError(), ERROR_MOD_NOT_FOUND);

  WriteFile("text.dll", "MZ but not really a library");
  EXPECT_EQ(win::LoadLibraryW("text.dll"), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_BAD_EXE_FORMAT);

  // A file held open without read sharing cannot be loaded.
  win::Handle held(win::CreateFileW("7z.dll", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held.valid());
  EXPECT_EQ(win::LoadLibraryW("7z.dll"), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_SHARING_VIOLATION);

  std::string text;
  ASSERT_NE(win::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_MOD_NOT_FOUND, 0, text),
            0u);
  EXPECT_EQ(text, "The specified module could not be found.\r\n");
  ASSERT_NE(win::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_PROC_NOT_FOUND, 0, text),
            0u);
  EXPECT_EQ(text, "The specified procedure could not be found.\r\n");
}

// ---- Loading the binding ------------------------------------------------------------------------

class SevenZipTest : public SevenZipMachineTest {
 protected:
  ComPtr<I7zInArchive> Create() { return CreateInArchive(CLSID_CFormat7z, "7z.dll"); }

  // Standard payload-like contents.
  std::map<std::string, std::string> Contents() {
    return {
        {"files/KYR/grub/grub.cfg", "set timeout=5\n"},
        {"files/KYR/Tools/Velund/app.txt", "application"},
        {"files/empty.txt", ""},
        {"grub/i386-pc/", ""},
        {"tools/grub-install.exe", Noise(300000, 7)},
        {"n\xC3\xA4me/\xF0\x9F\x98\x80.txt", "outside the BMP"},
    };
  }
  // What a folder extraction of Contents() leaves: no folder for the empty one.
  std::map<std::string, std::string> Extracted() {
    auto contents = Contents();
    contents.erase("grub/i386-pc/");
    std::map<std::string, std::string> listing;
    for (const auto& [name, data] : contents) {
      listing[name] = data;
      for (std::size_t cut = name.find('/'); cut != std::string::npos;
           cut = name.find('/', cut + 1)) {
        listing[name.substr(0, cut)] = "<dir>";
      }
    }
    return listing;
  }
};

TEST_F(SevenZipTest, LibraryFailuresRaiseTheirTexts) {
  ASSERT_TRUE(win::DeleteFileW("7z.dll"));
  EXPECT_EQ(ErrorOf([&] { Create(); }), "Error loading library 7z.dll");

  WriteFile("7z.dll", "not a library");
  EXPECT_EQ(ErrorOf([&] { Create(); }), "Error loading library 7z.dll");

  // A loadable library without the factory.
  CopyIn("/lib/x86_64-linux-gnu/libz.so.1", "7z.dll");
  EXPECT_EQ(ErrorOf([&] { Create(); }), "7z.dll is not a 7z library");
  // ... and it was unloaded again: its file can go.
  EXPECT_TRUE(win::DeleteFileW("7z.dll"));

  // The factory without the handler properties: unloaded as well.
  CopyIn(VELUND_STAND_IN_7Z, "7z.dll");
  EXPECT_EQ(ErrorOf([&] { Create(); }), "7z.dll is not a Format library");
  EXPECT_TRUE(win::DeleteFileW("7z.dll"));
}

// A library whose factory and handler properties answer with error codes: each raises the
// system's text for its code.
TEST_F(SevenZipTest, NegativeCodesOfTheFactoryAndTheHandlerPropertiesRaiseTheirTexts) {
  MakeArchive(Contents(), "Velund.7z", "-mhe=off");
  CopyIn(VELUND_STAND_IN_7Z_FORMAT, "7z.dll");
  ComPtr<T7zArchive> library(new T7zArchive("7z.dll"));
  EXPECT_EQ(ErrorOf([&] { library->HandlerProperty(NHandlerPropID::kClassID); }),
            "The parameter is incorrect");
  ComPtr<I7zInArchive> archive = Create();
  EXPECT_EQ(ErrorOf([&] { archive->OpenArchiveFile("Velund.7z"); }),
            "No such interface supported");
  archive->CloseArchive();  // no handler object: nothing to close
}

TEST_F(SevenZipTest, HandlerPropertiesOfTheLibrary) {
  ComPtr<T7zArchive> archive(new T7zArchive("7z.dll"));
  EXPECT_EQ(archive->Name(), "7z");
  EXPECT_EQ(archive->Extension(), "7z");
  EXPECT_TRUE(SameId(archive->GetLibGUIDProperty(NHandlerPropID::kClassID), CLSID_CFormat7z));
  EXPECT_TRUE(SameId(archive->ClassID(), GUID{}));  // all zero after creation
  const PropVariant signature = archive->HandlerProperty(NHandlerPropID::kSignature);
  ASSERT_EQ(signature.get().vt, VT_BSTR);
  EXPECT_EQ(SystemStringByteLength(signature.get().bstrVal), 6u);  // "7z\xBC\xAF\x27\x1C"

  ComPtr<I7zInArchive> reader = Create();
  EXPECT_TRUE(SameId(reader->GetClassID(), CLSID_CFormat7z));
  // Every interface of the object leads back to the same object.
  void* same = nullptr;
  ASSERT_EQ(reader->QueryInterface(IID_I7zInArchive, &same), S_OK);
  EXPECT_EQ(same, reader.get());
  static_cast<IUnknown*>(same)->Release();
  void* password = nullptr;
  ASSERT_EQ(reader->QueryInterface(IID_ICryptoGetTextPassword, &password), S_OK);
  void* back = nullptr;
  ASSERT_EQ(static_cast<ICryptoGetTextPassword*>(password)->QueryInterface(IID_IUnknown, &back),
            S_OK);
  EXPECT_EQ(back, reader.get());
  static_cast<IUnknown*>(back)->Release();
  static_cast<IUnknown*>(password)->Release();
  EXPECT_EQ(reader->QueryInterface(IID_IInStream, &same), E_NOINTERFACE);
}

TEST_F(SevenZipTest, AZeroClassIdHasNoHandler) {
  ComPtr<I7zInArchive> archive = CreateInArchive(GUID{}, "7z.dll");
  MakeArchive(Contents(), "Velund.7z", "-mhe=off");
  EXPECT_EQ(ErrorOf([&] { archive->OpenArchiveFile("Velund.7z"); }),
            "ClassFactory cannot supply requested class");
  archive->CloseArchive();  // no handler object: nothing to close
}

// ---- Opening ----------------------------------------------------------------------------------

TEST_F(SevenZipTest, OpeningWhatIsNoArchiveRaises) {
  ComPtr<I7zInArchive> archive = Create();
  EXPECT_EQ(ErrorOf([&] { archive->OpenArchiveFile("missing.7z"); }),
            "Cannot open file \"missing.7z\". The system cannot find the file specified");

  WriteFile("text.7z", std::string(5000, 'x'));
  // S_FALSE is an error too; its system text is that of code 1.
  EXPECT_EQ(ErrorOf([&] { archive->OpenArchiveFile("text.7z"); }), "Incorrect function");
  archive->CloseArchive();

  MakeArchive(Contents(), "Velund.7z", "-p" + std::string(kPassword) + " -mhe=off");
  const fs::path host = HostFile("Velund.7z");
  fs::resize_file(host, fs::file_size(host) / 2);
  EXPECT_NE(ErrorOf([&] { archive->OpenArchiveFile("Velund.7z"); }), "(no error)");
  archive->CloseArchive();
  EXPECT_EQ(ErrorOf([&] { archive->ExtractToFolder("out"); }), "No archive is open");
}

TEST_F(SevenZipTest, ItemsOfAnOpenedArchive) {
  MakeArchive(Contents(), "Velund.7z", "-p" + std::string(kPassword) + " -mhe=off");
  ComPtr<I7zInArchive> archive = Create();
  // With a plain header no password is needed to open.
  archive->OpenArchiveFile("Velund.7z");
  std::map<std::string, std::pair<Int64, bool>> items;
  const UInt32 count = archive->GetItemCount();
  for (UInt32 i = 0; i < count; ++i) {
    items[archive->GetItemPath(i)] = {archive->GetItemSize(i), archive->GetItemIsFolder(i)};
  }
  EXPECT_EQ(items.at("files/KYR/grub/grub.cfg"), std::make_pair(Int64{14}, false));
  EXPECT_EQ(items.at("tools/grub-install.exe"), std::make_pair(Int64{300000}, false));
  EXPECT_EQ(items.at("grub/i386-pc"), std::make_pair(Int64{0}, true));
  EXPECT_EQ(items.at("grub"), std::make_pair(Int64{0}, true));
  // Non-BMP characters arrive as surrogate pairs and leave as one UTF-8 character.
  EXPECT_EQ(items.count("n\xC3\xA4me/\xF0\x9F\x98\x80.txt"), 1u);
  EXPECT_EQ(archive->GetItemName(0).find('/'), std::string::npos);
  EXPECT_EQ(archive->GetItemPath(count + 5), "");  // a failed query gives the empty value
  EXPECT_TRUE(archive->GetInArchive());
  archive->CloseArchive();
  EXPECT_EQ(archive->GetItemPath(0), "");
}

// ---- Extracting to a folder -----------------------------------------------------------------------

TEST_F(SevenZipTest, ExtractsEveryFileWithThePassword) {
  MakeArchive(Contents(), "Velund.7z", "-p" + std::string(kPassword) + " -mhe=off");
  ComPtr<I7zInArchive> archive = Create();
  archive->OpenArchiveFile("Velund.7z");
  archive->SetPassword(kPassword);
  archive->ExtractToFolder(std::string(kWork) + "\\out\\");
  archive->CloseArchive();
  // Nested folders appear as parents of their files; the empty folder does not appear.
  EXPECT_EQ(Listing(std::string(kWork) + "\\out"), Extracted());
}

TEST_F(SevenZipTest, TrailingBackslashOrNotGivesTheSameTargets) {
  MakeArchive(Contents(), "Velund.7z", "-mhe=off");
  ComPtr<I7zInArchive> archive = Create();
  archive->OpenArchiveFile("Velund.7z");
  archive->ExtractToFolder("a");
  archive->ExtractToFolder(std::string(kWork) + "\\b\\");
  EXPECT_EQ(Listing(std::string(kWork) + "\\a"), Extracted());
  EXPECT_EQ(Listing(std::string(kWork) + "\\b"), Extracted());
}

TEST_F(SevenZipTest, ExistingFilesAreReplaced) {
  MakeArchive(Contents(), "Velund.7z", "-mhe=off");
  ASSERT_TRUE(win::CreateDirectoryW("out", nullptr));
  ASSERT_TRUE(win::CreateDirectoryW("out\\files", nullptr));
  WriteFile("out\\files\\empty.txt", std::string(10000, 'o'));
  WriteFile("out\\stays.txt", "old");
  ComPtr<I7zInArchive> archive = Create();
  archive->OpenArchiveFile("Velund.7z");
  archive->ExtractToFolder("out");
  auto expected = Extracted();
  expected["stays.txt"] = "old";
  EXPECT_EQ(Listing("out"), expected);
  // A successful extraction leaves no error behind on this thread.
  EXPECT_EQ(win::GetLastError(), ERROR_SUCCESS);
}

TEST_F(SevenZipTest, AWrongPasswordFailsAndLeavesNoFile) {
  MakeArchive({{"secret.txt", "secret contents"}}, "Velund.7z",
              "-p" + std::string(kPassword) + " -mhe=off");
  ComPtr<I7zInArchive> archive = Create();
  archive->OpenArchiveFile("Velund.7z");
  archive->SetPassword("wrong");
  const std::string error = ErrorOf([&] { archive->ExtractToFolder("out"); });
  EXPECT_NE(error.find("Cannot extract \"secret.txt\""), std::string::npos) << error;
  EXPECT_NE(error.find("Wrong password"), std::string::npos) << error;
  EXPECT_FALSE(Exists("out\\secret.txt"));
}

TEST_F(SevenZipTest, DamagedDataFailsAndTheDamagedFileIsRemoved) {
  // Stored without compression, so the file's bytes can be found and damaged.
  const std::string data = "0123456789abcdef" + Noise(4096, 3);
  MakeArchive({{"good.txt", "good"}, {"zz-bad.bin", data}}, "Velund.7z", "-mx0 -ms=off");
  const fs::path host = HostFile("Velund.7z");
  std::string bytes;
  {
    std::ifstream in(host, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    bytes = all.str();
  }
  const std::size_t at = bytes.find("0123456789abcdef");
  ASSERT_NE(at, std::string::npos);
  bytes[at + 20] ^= 0x55;
  std::ofstream(host, std::ios::binary | std::ios::trunc) << bytes;

  ComPtr<I7zInArchive> archive = Create();
  archive->OpenArchiveFile("Velund.7z");
  const std::string error = ErrorOf([&] { archive->ExtractToFolder("out"); });
  EXPECT_EQ(error, "Cannot extract \"zz-bad.bin\". CRC failed");
  EXPECT_FALSE(Exists("out\\zz-bad.bin"));
}

TEST_F(SevenZipTest, ItemPathsOutsideTheFolderAreRefused) {
  MakeArchive({{"base/x.txt", "escape"}}, "up.7z", "-mhe=off");
  RenameItem("up.7z", "base/x.txt", "base/../../escape.txt");
  ComPtr<I7zInArchive> archive = Create();
  archive->OpenArchiveFile("up.7z");
  // The library hands the path back verbatim.
  std::vector<std::string> paths;
  for (UInt32 i = 0; i < archive->GetItemCount(); ++i) paths.push_back(archive->GetItemPath(i));
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::string>{"base", "base/../../escape.txt"}));
  EXPECT_EQ(ErrorOf([&] { archive->ExtractToFolder("out"); }),
            "Unsafe archive item path \"base/../../escape.txt\"");
  archive->CloseArchive();
  EXPECT_FALSE(Exists("escape.txt"));
  EXPECT_FALSE(Exists("out\\escape.txt"));

  MakeArchive({{"x.txt", "drive"}}, "drive.7z", "-mhe=off");
  RenameItem("drive.7z", "x.txt", "C:\\evil.txt");
  archive->OpenArchiveFile("drive.7z");
  EXPECT_NE(ErrorOf([&] { archive->ExtractToFolder("out"); }).find("Unsafe archive item path"),
            std::string::npos);
  archive->CloseArchive();
  EXPECT_FALSE(Exists("C:\\evil.txt"));

  // An absolute path, as `7z a -spf` stores it.
  fs::create_directories(host_ / "abs");
  std::ofstream(host_ / "abs" / "x.txt") << "absolute";
  const std::string command = "7z a -bd -y -spf '" + HostFile("abs.7z").string() + "' '" +
                              (host_ / "abs" / "x.txt").string() + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  archive->OpenArchiveFile("abs.7z");
  EXPECT_NE(ErrorOf([&] { archive->ExtractToFolder("out"); }).find("Unsafe archive item path"),
            std::string::npos);
  archive->CloseArchive();
}

TEST(SevenZipPathTest, SafeItemPaths) {
  std::vector<std::string> names;
  ASSERT_TRUE(SafeItemPath("a/b\\c.txt", names));
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c.txt"}));
  ASSERT_TRUE(SafeItemPath("a/./../b//c", names));  // stays inside
  EXPECT_EQ(names, (std::vector<std::string>{"b", "c"}));
  ASSERT_TRUE(SafeItemPath("a/.hidden", names));
  EXPECT_EQ(names, (std::vector<std::string>{"a", ".hidden"}));
  for (const char* refused : {"", "/etc/passwd", "\\x", "\\\\server\\share\\x", "C:\\x", "C:x",
                              "a/file:stream", "../x", "a/../../x", "a/..", ".", "a/.../b",
                              "a/.. /b"}) {
    EXPECT_FALSE(SafeItemPath(refused, names)) << refused;
  }
}

TEST_F(SevenZipTest, TargetFilesThatCannotBeCreatedRaiseTheirError) {
  MakeArchive(Contents(), "Velund.7z", "-mhe=off");
  emu::InjectFault({"CreateFileW", "out\\files\\empty.txt", std::nullopt, ERROR_DISK_FULL, true, 0});
  ComPtr<I7zInArchive> archive = Create();
  archive->OpenArchiveFile("Velund.7z");
  EXPECT_EQ(ErrorOf([&] { archive->ExtractToFolder("out"); }),
            "Cannot create file \"out\\files\\empty.txt\". There is not enough space on the disk");

  // A file where a folder must go.
  WriteFile("blocked", "file");
  EXPECT_NE(ErrorOf([&] { archive->ExtractToFolder("blocked\\inner"); }).find("Cannot create"),
            std::string::npos);
}

TEST_F(SevenZipTest, WriteFailuresFailTheExtraction) {
  MakeArchive({{"big.bin", Noise(200000, 5)}}, "Velund.7z", "-mhe=off");
  ComPtr<I7zInArchive> archive = Create();
  archive->OpenArchiveFile("Velund.7z");
  FullStream full;
  EXPECT_EQ(ErrorOf([&] { archive->ExtractItemToStream(0, full, false); }),
            "There is not enough space on the disk");
  EXPECT_GT(full.writes, 0);
}

// ---- Passwords ----------------------------------------------------------------------------------

TEST_F(SevenZipTest, WithoutAPasswordTheCallbackAnswers) {
  MakeArchive(Contents(), "Velund.7z", "-p" + std::string(kPassword) + " -mhe=off");
  ComPtr<I7zInArchive> archive = Create();
  archive->OpenArchiveFile("Velund.7z");
  archive->SetPassword("");  // no password defined
  PasswordAnswer answer{kPassword};
  archive->SetPasswordCallback(&answer, AnswerPassword);
  archive->ExtractToFolder("out");
  EXPECT_GE(answer.calls, 1);
  EXPECT_EQ(Listing("out"), Extracted());
  // The answer is kept as the password until the archive is closed.
  const int calls = answer.calls;
  archive->ExtractToFolder("again");
  EXPECT_EQ(answer.calls, calls);
  archive->CloseArchive();

  archive->OpenArchiveFile("Velund.7z");
  answer.result = E_ABORT;
  EXPECT_NE(ErrorOf([&] { archive->ExtractToFolder("refused"); }), "(no error)");
  EXPECT_GT(answer.calls, calls);
  EXPECT_FALSE(Exists("refused\\tools\\grub-install.exe"));
}

TEST_F(SevenZipTest, WithNeitherPasswordNorCallbackExtractionFails) {
  MakeArchive(Contents(), "Velund.7z", "-p" + std::string(kPassword) + " -mhe=off");
  ComPtr<I7zInArchive> archive = Create();
  archive->OpenArchiveFile("Velund.7z");
  archive->SetPassword(kPassword);
  archive->CloseArchive();  // forgets that a password was set
  archive->OpenArchiveFile("Velund.7z");
  EXPECT_NE(ErrorOf([&] { archive->ExtractToFolder("out"); }), "(no error)");
  EXPECT_FALSE(Exists("out\\tools\\grub-install.exe"));
}

TEST_F(SevenZipTest, AnEncryptedHeaderCannotBeOpenedBeforeThePasswordIsSet) {
  MakeArchive(Contents(), "Velund.7z", "-p" + std::string(kPassword) + " -mhe=on");
  ComPtr<I7zInArchive> archive = Create();
  EXPECT_NE(ErrorOf([&] { archive->OpenArchiveFile("Velund.7z"); }), "(no error)");
  archive->CloseArchive();
  archive->SetPassword(kPassword);
  archive->OpenArchiveFile("Velund.7z");
  archive->ExtractToFolder("out");
  EXPECT_EQ(Listing("out"), Extracted());
}

// ---- Streams and callbacks ---------------------------------------------------------------------------

TEST_F(SevenZipTest, OneItemToAStreamIsStreamedThrough) {
  const std::string big = Noise(8 << 20, 11);
  MakeArchive({{"big.bin", big}}, "Velund.7z", "-p" + std::string(kPassword) + " -mhe=off -mx1");
  ComPtr<I7zInArchive> archive = Create();
  archive->OpenArchiveFile("Velund.7z");
  archive->SetPassword(kPassword);
  Progress progress;
  archive->SetProgressCallback(&progress, RecordProgress);
  MemoryStream stream;
  archive->ExtractItemToStream(0, stream, false);
  EXPECT_TRUE(stream.data == big);
  // The library hands the data over in pieces, never the whole file at once.
  EXPECT_LE(stream.largestWrite, big.size() / 4);
  EXPECT_EQ(progress.total, static_cast<Int64>(big.size()));
  EXPECT_EQ(progress.completed, static_cast<Int64>(big.size()));

  MemoryStream tested;
  archive->ExtractItemToStream(0, tested, true);  // test mode writes nothing
  EXPECT_TRUE(tested.data.empty());
}

TEST_F(SevenZipTest, ItemsToACallback) {
  MakeArchive(Contents(), "Velund.7z", "-mhe=off");
  ComPtr<I7zInArchive> archive = Create();
  archive->OpenArchiveFile("Velund.7z");
  std::map<std::string, UInt32> index;
  for (UInt32 i = 0; i < archive->GetItemCount(); ++i) index[archive->GetItemPath(i)] = i;

  Collected all;
  archive->ExtractAllToCallback(false, &all, CollectStream);
  for (const auto& [name, data] : Contents()) {
    if (name.back() == '/') continue;
    ASSERT_EQ(all.streams.count(index.at(name)), 1u) << name;
    EXPECT_TRUE(all.streams.at(index.at(name))->data == data) << name;
  }

  Collected some;
  const UInt32 wanted[] = {index.at("files/KYR/grub/grub.cfg")};
  archive->ExtractItemsToCallback(wanted, 1, false, &some, CollectStream);
  ASSERT_EQ(some.streams.size(), 1u);
  EXPECT_EQ(some.streams.begin()->second->data, "set timeout=5\n");
}

TEST_F(SevenZipTest, OpensAStreamOfTheCaller) {
  MakeArchive(Contents(), "Velund.7z", "-mhe=off");
  auto* file = new TFileStream("Velund.7z", TFileStream::Mode::OpenRead);
  ComPtr<IInStream> stream(new T7zStream(file, TStreamOwnership::soOwned));
  ComPtr<I7zInArchive> archive = Create();
  archive->OpenArchiveStream(stream.get());
  archive->ExtractToFolder("out");
  archive->CloseArchive();
  EXPECT_EQ(Listing("out"), Extracted());
  // The stream adapter answers for the interfaces it implements.
  void* size = nullptr;
  ASSERT_EQ(stream->QueryInterface(IID_IStreamGetSize, &size), S_OK);
  UInt64 length = 0;
  EXPECT_EQ(static_cast<IStreamGetSize*>(size)->GetSize(&length), S_OK);
  EXPECT_EQ(length, fs::file_size(HostFile("Velund.7z")));
  static_cast<IUnknown*>(size)->Release();
}

}  // namespace
