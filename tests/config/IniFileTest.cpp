#include "config/IniFile.h"
#include "platform/types/Exception.h"
#include "tests/support/TestSupport.h"

#include <QFile>
#include <QStringEncoder>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

QString S(const char* text) { return QString::fromUtf8(text); }

} // namespace

TEST(IniFile, ReadsValuesWithProfileSemantics)
{
    TTempFolder dir;
    dir.Write("a.ini",
              "; a comment=not a key\r\n"
              "[Filial]\r\n"
              "  CdContrato  =  ABC 123  \r\n"
              "Expr=a=b=c\r\n"
              "Single='quoted'\r\n"
              "Double=\"two words\"\r\n"
              "Mixed=\"half'\r\n"
              "Inner=\"\"x\"\"\r\n"
              "Lone=\"\r\n"
              "Empty=\r\n"
              "Blank=   \r\n"
              "EmptyQuotes=''\r\n");
    const TIniFile ini(dir.File("a.ini"));

    EXPECT_EQ(ini.ReadString(u"FILIAL", u"cdcontrato", "d"), "ABC 123");
    EXPECT_EQ(ini.ReadString(u"filial", u"EXPR", "d"), "a=b=c");
    EXPECT_EQ(ini.ReadString(u"FILIAL", u"Single", "d"), "quoted");
    EXPECT_EQ(ini.ReadString(u"FILIAL", u"Double", "d"), "two words");
    EXPECT_EQ(ini.ReadString(u"FILIAL", u"Mixed", "d"), "\"half'");
    EXPECT_EQ(ini.ReadString(u"FILIAL", u"Inner", "d"), "\"x\"");
    EXPECT_EQ(ini.ReadString(u"FILIAL", u"Lone", "d"), "\"");
    // A key that is present but empty is empty, not the default.
    EXPECT_EQ(ini.ReadString(u"FILIAL", u"Empty", "d"), "");
    EXPECT_EQ(ini.ReadString(u"FILIAL", u"Blank", "d"), "");
    EXPECT_EQ(ini.ReadString(u"FILIAL", u"EmptyQuotes", "d"), "");
    EXPECT_EQ(ini.ReadString(u"FILIAL", u"Missing", "d"), "d");
    EXPECT_EQ(ini.ReadString(u"OTHER", u"CdContrato", "d"), "d");
    EXPECT_EQ(ini.ReadString(u"FILIAL", u"; a comment", "d"), "d");
    EXPECT_TRUE(ini.ValueExists(u"filial", u"EMPTY"));
    EXPECT_FALSE(ini.ValueExists(u"filial", u"Missing"));
}

TEST(IniFile, SectionsCountOnlyWithAKeyAndTheFirstOfDuplicatesWins)
{
    TTempFolder dir;
    dir.Write("a.ini",
              "[SOCKET_PROPRIO]\n"
              "; only a comment\n"
              "no equals sign here\n"
              "\n"
              "[SOCKET]\n"
              "Address=first\n"
              "address=second\n"
              "Port=211\n"
              "[socket]\n"
              "Address=third\n"
              "Extra=1\n"
              "[LOG]\n"
              "DataBase=log.kelt\n");
    const TIniFile ini(dir.File("a.ini"));

    EXPECT_FALSE(ini.SectionExists(u"SOCKET_PROPRIO"));
    EXPECT_TRUE(ini.ReadSection(u"SOCKET_PROPRIO").isEmpty());
    EXPECT_TRUE(ini.SectionExists(u"socket"));
    EXPECT_FALSE(ini.SectionExists(u"NOSUCH"));
    EXPECT_EQ(ini.ReadString(u"SOCKET", u"ADDRESS", ""), "first");
    EXPECT_EQ(ini.ReadString(u"SOCKET", u"Extra", "none"), "none");
    EXPECT_EQ(ini.ReadSection(u"Socket"), QStringList({"Address", "address", "Port"}));
    EXPECT_EQ(ini.ReadString(u"log", u"database", ""), "log.kelt");
}

TEST(IniFile, IntegersFollowTheProfileRules)
{
    EXPECT_EQ(TIniFile::ParseInteger(u"42", 7), 42);
    EXPECT_EQ(TIniFile::ParseInteger(u"-13", 7), -13);
    EXPECT_EQ(TIniFile::ParseInteger(u"+5", 7), 5);
    EXPECT_EQ(TIniFile::ParseInteger(u"0x1F", 7), 31);
    EXPECT_EQ(TIniFile::ParseInteger(u"0X1f", 7), 31);
    EXPECT_EQ(TIniFile::ParseInteger(u"$ff", 7), 255);
    EXPECT_EQ(TIniFile::ParseInteger(u"$FFFFFFFF", 7), -1);
    EXPECT_EQ(TIniFile::ParseInteger(u"2147483647", 7), 2147483647);
    EXPECT_EQ(TIniFile::ParseInteger(u"-2147483648", 7), INT32_MIN);
    for (const char* bad : {"", "-", "0x", "$", "12abc", "1.5", "2147483648", "$100000000", "abc", "1 2", "0xG"})
        EXPECT_EQ(TIniFile::ParseInteger(QString::fromLatin1(bad), 7), 7) << bad;

    TTempFolder dir;
    dir.Write("a.ini", "[S]\nA = 12 \nB=\"34\"\nC=x\nD=0x10\n");
    const TIniFile ini(dir.File("a.ini"));
    EXPECT_EQ(ini.ReadInteger(u"s", u"a", -1), 12);
    EXPECT_EQ(ini.ReadInteger(u"s", u"b", -1), 34);
    EXPECT_EQ(ini.ReadInteger(u"s", u"c", -1), -1);
    EXPECT_EQ(ini.ReadInteger(u"s", u"d", -1), 16);
    EXPECT_EQ(ini.ReadInteger(u"s", u"missing", -1), -1);
}

TEST(IniFile, MissingAndGarbledFilesReadAsDefaultsWithoutRaising)
{
    TTempFolder dir;
    const TIniFile missing(dir.File("Config.ini"));
    EXPECT_EQ(missing.ReadString(u"FILIAL", u"UF", "d"), "d");
    EXPECT_EQ(missing.ReadInteger(u"FILIAL", u"TPFILIAL", -1), -1);
    EXPECT_FALSE(missing.SectionExists(u"FILIAL"));
    EXPECT_FALSE(QFile::exists(dir.File("Config.ini"))); // reading never creates it

    static const char head[] = "\x00\xff\xfe\x01[[[\n=\n]\n[FILIAL\nPKFILIAL=9\n";
    QByteArray junk(head, sizeof head - 1);
    for (int i = 0; i < 256; ++i)
        junk += char(i);
    junk += "\n[FILIAL]\nPKFILIAL=12\nUF=S\xe3o\r\n";
    dir.Write("junk.ini", junk);
    const TIniFile garbled(dir.File("junk.ini"));
    // "[FILIAL" without ']' opens no section, so the 9 under it belongs to none.
    EXPECT_EQ(garbled.ReadInteger(u"FILIAL", u"PKFILIAL", 0), 12);
    EXPECT_EQ(garbled.ReadString(u"FILIAL", u"UF", ""), S("São")); // ANSI bytes
    EXPECT_EQ(garbled.ReadString(u"NOSUCH", u"X", "d"), "d");

    // A folder in place of the file is unreadable, not an error.
    const TIniFile folder(dir.Path());
    EXPECT_EQ(folder.ReadInteger(u"A", u"B", 3), 3);
}

TEST(IniFile, WriteStringChangesOnlyTheValueOfAnExistingKey)
{
    TTempFolder dir;
    const QByteArray before = "; Configura\xe7\xe3o\r\n"
                              "[FILIAL]\r\n"
                              "PKFILIAL = 3 ; comment\r\n"
                              "uf=MG\r\n"
                              "\r\n"
                              "[filial]\r\n"
                              "UF=ignored\r\n"
                              "[DB]\r\n"
                              "DataBase=C:\\Kelt\\AGENTE.KELT";
    dir.Write("Config.ini", before);
    TIniFile ini(dir.File("Config.ini"));

    ini.WriteString("filial", "UF", QString::fromUtf8("SÃO"));
    QByteArray expected = before;
    expected.replace("uf=MG", "uf=S\xc3O");
    EXPECT_EQ(dir.Read("Config.ini"), expected);
    EXPECT_EQ(ini.ReadString(u"FILIAL", u"UF", ""), QString::fromUtf8("SÃO"));

    // The value's own bytes go; blanks and the rest of the line stay.
    ini.WriteInteger("FILIAL", "PkFilial", 12);
    expected.replace("PKFILIAL = 3 ; comment", "PKFILIAL = 12");
    // The whole trimmed text after '=' is the value, comment included.
    EXPECT_EQ(dir.Read("Config.ini"), expected);
    EXPECT_EQ(TIniFile(dir.File("Config.ini")).ReadInteger(u"FILIAL", u"PKFILIAL", 0), 12);
}

TEST(IniFile, WriteStringAddsKeysAndSectionsKeepingLineBreaks)
{
    TTempFolder dir;
    dir.Write("crlf.ini", "[A]\r\nX=1\r\n\r\n[B]\r\nY=2");
    TIniFile crlf(dir.File("crlf.ini"));
    crlf.WriteString("a", "Z", "3");
    EXPECT_EQ(dir.Read("crlf.ini"), "[A]\r\nX=1\r\nZ=3\r\n\r\n[B]\r\nY=2");
    crlf.WriteString("B", "W", "4"); // last line had no break
    EXPECT_EQ(dir.Read("crlf.ini"), "[A]\r\nX=1\r\nZ=3\r\n\r\n[B]\r\nY=2\r\nW=4");
    crlf.WriteString("C", "V", "5");
    EXPECT_EQ(dir.Read("crlf.ini"), "[A]\r\nX=1\r\nZ=3\r\n\r\n[B]\r\nY=2\r\nW=4\r\n[C]\r\nV=5\r\n");

    dir.Write("lf.ini", "[A]\n");
    TIniFile lf(dir.File("lf.ini"));
    lf.WriteString("A", "K", "v");
    lf.WriteString("N", "K", "w");
    EXPECT_EQ(dir.Read("lf.ini"), "[A]\nK=v\n[N]\nK=w\n");

    // A file that starts with a UTF-8 mark is kept in UTF-8.
    dir.Write("utf8.ini", "\xEF\xBB\xBF[A]\nK=\xC3\xA9\n");
    TIniFile utf8(dir.File("utf8.ini"));
    EXPECT_EQ(utf8.ReadString(u"A", u"K", ""), S("é"));
    utf8.WriteString("A", "K", S("ç"));
    EXPECT_EQ(dir.Read("utf8.ini"), "\xEF\xBB\xBF[A]\nK=\xC3\xA7\n");

    // A lone CR at the end of the file ends no line: the key goes on a line of its own.
    dir.Write("cr.ini", "[A]\nX=1\r");
    TIniFile cr(dir.File("cr.ini"));
    cr.WriteString("A", "Z", "3");
    EXPECT_EQ(dir.Read("cr.ini"), "[A]\nX=1\r\nZ=3");
    EXPECT_EQ(TIniFile(dir.File("cr.ini")).ReadString(u"A", u"Z", ""), "3");

    TIniFile fresh(dir.File("new.ini"));
    fresh.WriteString("S", "K", "v");
    EXPECT_EQ(dir.Read("new.ini"), "[S]\r\nK=v\r\n");
}

TEST(IniFile, WriteStringRefusesWhatWouldCorruptTheFile)
{
    TTempFolder dir;
    dir.Write("a.ini", "[A]\r\nK=1\r\n");
    TIniFile ini(dir.File("a.ini"));
    EXPECT_THROW(ini.WriteString("A", "K", "1\r\n[B]"), Exception);
    EXPECT_THROW(ini.WriteString("A", "K=J", "1"), Exception);
    EXPECT_THROW(ini.WriteString("A]", "K", "1"), Exception);
    EXPECT_THROW(ini.WriteString("A", "", "1"), Exception);
    EXPECT_EQ(dir.Read("a.ini"), "[A]\r\nK=1\r\n");

    TIniFile nowhere(dir.File("missing/a.ini"));
    EXPECT_THROW(nowhere.WriteString("A", "K", "1"), EFCreateError);
}

TEST(IniFile, AWriteThatFailsKeepsTheFileAsItWas)
{
    TTempFolder dir;
    dir.Write("full.ini", "[A]\nX=1\n");
    const QString path = dir.File("full.ini");
    // A file-size limit of nothing stands in for a full disk.
    const auto writeOnAFullDisk = [&path] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit none{0, 0};
        setrlimit(RLIMIT_FSIZE, &none);
        try {
            TIniFile(path).WriteString("A", "X", "2");
        } catch (const EFCreateError&) {
            _exit(0);
        }
        _exit(1);
    };
    EXPECT_EXIT(writeOnAFullDisk(), testing::ExitedWithCode(0), "");
    EXPECT_EQ(dir.Read("full.ini"), "[A]\nX=1\n");
}

// What Windows editors save: "Unicode" (UTF-16 with its mark) is read and a
// written key keeps the file in UTF-16, the other lines unchanged; a file
// without a mark is in the Windows code page.
TEST(IniFile, ReadsAndWritesUtf16AndTheWindowsCodePage)
{
    TTempFolder dir;
    const QString text = S("[FILIAL]\r\nUF=VIVO_BA\r\nNOME=Filial São João\r\n[DB]\r\nDataBase=C:\\Kelt\\AGENTE.KELT\r\n");
    for (const bool littleEndian : {true, false}) {
        SCOPED_TRACE(littleEndian);
        QStringEncoder encode(littleEndian ? QStringEncoder::Utf16LE : QStringEncoder::Utf16BE);
        const QByteArray bom = littleEndian ? QByteArray("\xFF\xFE") : QByteArray("\xFE\xFF");
        dir.Write("Config.ini", bom + QByteArray(encode(text)));
        TIniFile ini(dir.File("Config.ini"));
        EXPECT_EQ(ini.ReadString(u"FILIAL", u"UF", "default"), "VIVO_BA");
        EXPECT_EQ(ini.ReadString(u"filial", u"NOME", ""), S("Filial São João"));
        EXPECT_EQ(ini.ReadString(u"DB", u"DataBase", ""), "C:\\Kelt\\AGENTE.KELT");

        ini.WriteString("FILIAL", "UF", "VIVO_SE");
        ini.WriteString("LOG", "MonitorarReplicacao", S("1 ç"));
        QString expected = text;
        expected.replace("UF=VIVO_BA", "UF=VIVO_SE");
        expected += S("[LOG]\r\nMonitorarReplicacao=1 ç\r\n");
        EXPECT_EQ(dir.Read("Config.ini"), bom + QByteArray(encode(expected)));
        EXPECT_EQ(TIniFile(dir.File("Config.ini")).ReadString(u"LOG", u"MonitorarReplicacao", ""), S("1 ç"));
    }

    // 0x80-0x9F are the code page's letters, not control characters.
    dir.Write("Config.ini", "[FILIAL]\r\nNOME=\x80 \x8a\x9c \xe7\r\n");
    TIniFile ansi(dir.File("Config.ini"));
    EXPECT_EQ(ansi.ReadString(u"FILIAL", u"NOME", ""), S("€ Šœ ç"));
    ansi.WriteString("FILIAL", "UF", S("Š€ ✓"));
    EXPECT_EQ(dir.Read("Config.ini"), "[FILIAL]\r\nNOME=\x80 \x8a\x9c \xe7\r\nUF=\x8a\x80 ?\r\n");
}
