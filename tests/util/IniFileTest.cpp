#include "util/IniFile.h"

#include "support/IniText.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace corvan;
using corvan::test::ReadFileText;
using corvan::test::TTempDir;
using corvan::test::WriteFileText;

namespace {
auto FromText = corvan::test::IniFromText;
} // namespace

TEST(IniFile, NamesIgnoreCaseAndValuesAreTrimmed) {
    auto ini = FromText("[Proxy-HTTP]\r\n  ServerPort =  3128 \r\nServerIP=\r\n");
    EXPECT_EQ(ini->ReadInteger("proxy-http", "SERVERPORT", 8080), 3128);
    EXPECT_EQ(ini->ReadString("PROXY-HTTP", "serverport", ""), "3128");
    EXPECT_EQ(ini->ReadString("Proxy-HTTP", "ServerIP", "x"), ""); // present but empty
    EXPECT_EQ(ini->ReadString("Proxy-HTTP", "Missing", "dflt"), "dflt");
    EXPECT_EQ(ini->ReadString("Nowhere", "ServerPort", "dflt"), "dflt");
    EXPECT_TRUE(ini->SectionExists("PROXY-http"));
    EXPECT_TRUE(ini->ValueExists("proxy-http", "serverip"));
}

TEST(IniFile, IntegersDecimalOrHexElseDefault) {
    auto ini = FromText("[S]\nhex=0x10\nHEX=0X1f\nall=0xFFFFFFFF\nwide=0x100000000\n"
                        "neg=-5\nplus=+7\nbig=2147483648\nsmall=-2147483648\nbad=12a\n"
                        "empty=\nbare=0x\n");
    EXPECT_EQ(ini->ReadInteger("S", "hex", 0), 16); // first of two keys that differ in case
    EXPECT_EQ(ini->ReadInteger("S", "all", 0), -1); // a 32-bit pattern
    EXPECT_EQ(ini->ReadInteger("S", "wide", 9), 9);
    EXPECT_EQ(ini->ReadInteger("S", "neg", 0), -5);
    EXPECT_EQ(ini->ReadInteger("S", "plus", 0), 7);
    EXPECT_EQ(ini->ReadInteger("S", "big", 9), 9);
    EXPECT_EQ(ini->ReadInteger("S", "small", 9), -2147483647 - 1);
    EXPECT_EQ(ini->ReadInteger("S", "bad", 9), 9);
    EXPECT_EQ(ini->ReadInteger("S", "empty", 9), 9);
    EXPECT_EQ(ini->ReadInteger("S", "bare", 9), 9);
}

TEST(IniFile, BooleansGoThroughIntegers) {
    auto ini = FromText("[S]\nyes=yes\ntwo=2\nzero=0\nminus=-1\nhex=0x0\n");
    EXPECT_TRUE(ini->ReadBool("S", "yes", true));
    EXPECT_FALSE(ini->ReadBool("S", "yes", false)); // "yes" is not a number: the default
    EXPECT_TRUE(ini->ReadBool("S", "two", false));
    EXPECT_FALSE(ini->ReadBool("S", "zero", true));
    EXPECT_TRUE(ini->ReadBool("S", "minus", false));
    EXPECT_FALSE(ini->ReadBool("S", "hex", true));
    EXPECT_TRUE(ini->ReadBool("S", "missing", true));
    ini->WriteBool("S", "w", true);
    ini->WriteBool("S", "v", false);
    EXPECT_EQ(ini->ReadString("S", "w", ""), "1");
    EXPECT_EQ(ini->ReadString("S", "v", ""), "0");
}

TEST(IniFile, FloatsRoundTripWithFifteenDigits) {
    auto ini = FromText("[S]\na=46000.25\nb=46000,5\nc=\nd=abc\ne=inf\nf=nan\ng=1e3\nh=1.2.3\n");
    EXPECT_DOUBLE_EQ(ini->ReadFloat("S", "a", 0), 46000.25);
    EXPECT_DOUBLE_EQ(ini->ReadFloat("S", "b", 0), 46000.5);
    EXPECT_EQ(ini->ReadFloat("S", "c", 7), 7);
    EXPECT_EQ(ini->ReadFloat("S", "d", 7), 7);
    EXPECT_EQ(ini->ReadFloat("S", "e", 7), 7);
    EXPECT_EQ(ini->ReadFloat("S", "f", 7), 7);
    EXPECT_EQ(ini->ReadFloat("S", "g", 7), 1000);
    EXPECT_EQ(ini->ReadFloat("S", "h", 7), 7);
    ini->WriteFloat("S", "x", 46001.123456789012);
    EXPECT_EQ(ini->ReadString("S", "x", ""), "46001.123456789"); // 15 digits, trailing 0 dropped
    ini->WriteFloat("S", "y", 0.1);
    EXPECT_EQ(ini->ReadString("S", "y", ""), "0.1");
    ini->WriteFloat("S", "z", 0);
    EXPECT_EQ(ini->ReadString("S", "z", ""), "0");
}

TEST(IniFile, RewriteKeepsOrderUnknownKeysAndComments) {
    const std::string original = "; written by hand\n"
                                 "[Proxy-DNS]\n"
                                 "Enabled=0\n"
                                 "# my note\n"
                                 "MyOwnKey = keep me\n"
                                 "not a key line\n"
                                 "\n"
                                 "; about the next section\n"
                                 "[Application]\n"
                                 "ShowTips=1\n";
    auto ini = FromText(original);
    ini->WriteBool("proxy-dns", "enabled", true);
    ini->WriteString("Proxy-DNS", "ResolveServer", "10.0.0.1");
    ini->WriteInteger("New", "ItemCount", 0);
    ini->WriteBool("Application", "ShowTips", true); // unchanged value: line untouched
    EXPECT_EQ(ini->Text(), "; written by hand\n"
                           "[Proxy-DNS]\n"
                           "Enabled=1\n"
                           "# my note\n"
                           "MyOwnKey = keep me\n"
                           "ResolveServer=10.0.0.1\n"
                           "not a key line\n"
                           "\n"
                           "; about the next section\n"
                           "[Application]\n"
                           "ShowTips=1\n"
                           "\n"
                           "[New]\n"
                           "ItemCount=0\n");
    EXPECT_EQ(ini->ReadSections(), (std::vector<std::string>{"Proxy-DNS", "Application", "New"}));
    EXPECT_EQ(ini->ReadSection("proxy-dns"),
              (std::vector<std::string>{"Enabled", "MyOwnKey", "ResolveServer"}));
}

TEST(IniFile, CrLfFilesStayCrLfAndLastLineNeedsNoBreak) {
    auto ini = FromText("[A]\r\nx=1\r\n[B]\r\ny=2");
    EXPECT_EQ(ini->ReadInteger("B", "y", 0), 2);
    ini->WriteInteger("A", "x", 5);
    EXPECT_EQ(ini->Text(), "[A]\r\nx=5\r\n[B]\r\ny=2\r\n");
}

TEST(IniFile, ByteOrderMarkDoesNotHideTheFirstSection) {
    auto ini = FromText("\xEF\xBB\xBF[Application]\r\nRunOnStartUp=0\r\n");
    EXPECT_FALSE(ini->ReadBool("Application", "RunOnStartUp", true));
    ini->WriteBool("Application", "RunOnStartUp", true);
    EXPECT_EQ(ini->ReadSections().size(), 1u);
    EXPECT_EQ(ini->Text(), "\xEF\xBB\xBF[Application]\r\nRunOnStartUp=1\r\n");
}

TEST(IniFile, FirstOfDuplicateSectionsIsUsedAndEraseRemovesOne) {
    auto ini = FromText("[A]\nx=1\n[B]\n[a]\nx=2\ny=3\n[b]\n[A]\n");
    // Named once each, as first written, so the load can say which copies are ignored.
    EXPECT_EQ(ini->DuplicateSections(), (std::vector<std::string>{"A", "B"}));
    ini->SetText("[A]\nx=1\n[a]\nx=2\ny=3\n");
    EXPECT_EQ(ini->ReadInteger("A", "x", 0), 1);
    EXPECT_EQ(ini->ReadInteger("A", "y", 0), 0);
    ini->WriteInteger("A", "x", 9);
    EXPECT_EQ(ini->ReadSections().size(), 1u);
    ini->EraseSection("A");
    EXPECT_EQ(ini->ReadInteger("A", "x", 0), 2);
    ini->DeleteKey("a", "X");
    EXPECT_FALSE(ini->ValueExists("A", "x"));
    EXPECT_EQ(ini->Text(), "[a]\ny=3\n");
}

TEST(IniFile, LineBreaksInValuesCannotInjectKeys) {
    auto ini = FromText("");
    ini->WriteString("Proxy-ProxyUsers.Items.0", "Name", "evil\r\n[Application]\nRunOnStartUp=0");
    auto again = FromText(ini->Text());
    EXPECT_EQ(again->ReadSections(), (std::vector<std::string>{"Proxy-ProxyUsers.Items.0"}));
    EXPECT_EQ(again->ReadString("Proxy-ProxyUsers.Items.0", "Name", ""),
              "evil  [Application] RunOnStartUp=0");
}

TEST(IniFileOnDisk, MissingFileReadsEmptyAndIsCreatedPrivate) {
    TTempDir dir;
    std::string path = dir / "CorvanProxy.ini";
    TIniFile ini(path);
    EXPECT_EQ(ini.LoadError(), "");
    EXPECT_EQ(ini.ReadInteger("S", "k", 4), 4);
    ini.UpdateFile(); // nothing written yet: no file
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
    ini.WriteString("S", "Password", "secret");
    ini.UpdateFile();
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u); // it holds passwords
    EXPECT_EQ(ReadFileText(path), "[S]\nPassword=secret\n");
    TIniFile reread(path);
    EXPECT_EQ(reread.ReadString("s", "password", ""), "secret");
    EXPECT_FALSE(reread.Modified());
}

TEST(IniFileOnDisk, ExistingModeIsKeptAndUnchangedFileIsNotRewritten) {
    TTempDir dir;
    std::string path = dir / "a.ini";
    WriteFileText(path, "[S]\nk=1\n");
    ::chmod(path.c_str(), 0640);
    TIniFile ini(path);
    ini.WriteInteger("S", "k", 1);
    WriteFileText(path, "[S]\nk=edited meanwhile\n");
    ini.UpdateFile(); // nothing changed in memory: the file stays as it is
    EXPECT_EQ(ReadFileText(path), "[S]\nk=edited meanwhile\n");
    ini.WriteInteger("S", "k", 2);
    ini.UpdateFile();
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(IniFileOnDisk, UnreadableFileIsNeverOverwritten) {
    TTempDir dir;
    // Too large to be a settings file.
    std::string big = dir / "big.ini";
    std::string content = "[S]\nk=1\n" + std::string(TIniFile::kMaxFileSize, ';');
    WriteFileText(big, content);
    {
        TIniFile ini(big);
        EXPECT_NE(ini.LoadError().find("larger than"), std::string::npos) << ini.LoadError();
        EXPECT_EQ(ini.ReadInteger("S", "k", 7), 7); // defaults, not half a file
        ini.WriteInteger("S", "k", 2);
        EXPECT_THROW(ini.UpdateFile(), EIniFile);
    }
    EXPECT_EQ(ReadFileText(big), content);
    // Too many lines, even though small enough in bytes.
    std::string many = dir / "many.ini";
    WriteFileText(many, std::string(TIniFile::kMaxLines, '\n'));
    TIniFile manyLines(many);
    EXPECT_NE(manyLines.LoadError().find("lines"), std::string::npos) << manyLines.LoadError();
    // NUL bytes: some other file (or a damaged one) at the settings file's path.
    std::string binary = dir / "binary.ini";
    std::string bytes = std::string("[S]\nk=1\n\0\x01\x02", 11) + "[T]\nj=2\n";
    WriteFileText(binary, bytes);
    {
        TIniFile ini(binary);
        EXPECT_NE(ini.LoadError().find("NUL"), std::string::npos) << ini.LoadError();
        EXPECT_EQ(ini.ReadInteger("S", "k", 7), 7);
        ini.WriteInteger("S", "k", 2);
        EXPECT_THROW(ini.UpdateFile(), EIniFile);
    }
    EXPECT_EQ(ReadFileText(binary), bytes);
    // Not a regular file: a folder, and a FIFO (which must not hang the reader).
    std::string folder = dir / "folder.ini";
    ::mkdir(folder.c_str(), 0755);
    TIniFile asFolder(folder);
    EXPECT_NE(asFolder.LoadError().find("not a regular file"), std::string::npos);
    std::string fifo = dir / "fifo.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    TIniFile asFifo(fifo);
    EXPECT_NE(asFifo.LoadError(), "");
    asFifo.WriteInteger("S", "k", 1);
    EXPECT_THROW(asFifo.UpdateFile(), EIniFile);
    struct stat st;
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    // No permission (only meaningful when not running as root).
    if (::geteuid() != 0) {
        std::string locked = dir / "locked.ini";
        WriteFileText(locked, "[S]\nk=1\n");
        ::chmod(locked.c_str(), 0);
        TIniFile ini(locked);
        EXPECT_NE(ini.LoadError().find("Permission denied"), std::string::npos);
        EXPECT_THROW(ini.UpdateFile(), EIniFile);
    }
}

TEST(IniFileOnDisk, SymbolicLinkIsFollowed) {
    TTempDir dir;
    std::string real = dir / "real.ini";
    std::string link = dir / "link.ini";
    WriteFileText(real, "[S]\nk=1\n");
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    TIniFile ini(link);
    ini.WriteInteger("S", "k", 2);
    ini.UpdateFile();
    struct stat st;
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadFileText(real), "[S]\nk=2\n");
}
