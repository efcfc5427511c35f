// File-type associations on the test prefix's registry: binding, the
// replace question, removal and the limits of a class name.
#include "testing.h"

#include <stdlib.h>
#include <string.h>

#include <string>

#include "associations.h"
#include "lumetta.h"
#include "resource.h"

namespace {

const char OtherHandler[] = "{0badc0de-1111-2222-3333-444455556666}";
const char OtherHandlerName[] = "Other Viewer Icons";

std::string Default(const std::string& path)
{
    char text[MAX_PATH] = {};
    if (!ReadDefaultText(HKEY_CLASSES_ROOT, path.c_str(), text, sizeof(text)))
        return "<missing>";
    return text;
}

void SetDefault(const std::string& path, const char* text)
{
    HKEY k;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, NULL, 0,
                                            KEY_ALL_ACCESS, NULL, &k, NULL));
    RegSetValueExA(k, NULL, 0, REG_SZ, (const BYTE*)text, (DWORD)strlen(text) + 1);
    RegCloseKey(k);
}

bool KeyExists(const std::string& path)
{
    HKEY k;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
        return false;
    RegCloseKey(k);
    return true;
}

// The classes of the seven types and their extensions' class names go, so
// that each test starts from extensions without classes.
void ForgetFileTypes()
{
    for (const FileTypeRow& type : FileTypes) {
        for (const char* p = type.extensions; *p;) {
            size_t n = strcspn(p, " ");
            std::string extension(p, n);
            p += n + (p[n] == ' ');
            char fileClass[64] = {};
            if (ReadDefaultText(HKEY_CLASSES_ROOT, extension.c_str(), fileClass, sizeof(fileClass)) &&
                fileClass[0])
                RegDeleteTreeA(HKEY_CLASSES_ROOT, fileClass);
            RegDeleteTreeA(HKEY_CLASSES_ROOT, extension.c_str());
        }
    }
}

struct Questions {
    int asked = 0;
    bool answer = false;
    std::string lastText, lastCaption;
};
Questions questions;

bool AnswerQuestion(HWND, const char* text, const char* caption)
{
    questions.asked++;
    questions.lastText = text;
    questions.lastCaption = caption;
    return questions.answer;
}

class Associations : public ::testing::Test {
protected:
    void SetUp() override
    {
        moduleInstance = GetModuleHandleA(NULL);
        GetModuleFileNameA(NULL, module, sizeof(module));
        ForgetFileTypes();
        questions = Questions();
        shownQuestion = AskQuestion;
        AskQuestion = AnswerQuestion;
        SetDefault(std::string("CLSID\\") + OtherHandler, OtherHandlerName);
    }
    // Back to what the test data's fixture wrote for the other tests.
    void TearDown() override
    {
        AskQuestion = shownQuestion;
        ForgetFileTypes();
        RegDeleteTreeA(HKEY_CLASSES_ROOT, (std::string("CLSID\\") + OtherHandler).c_str());
        RegDeleteTreeA(HKEY_CLASSES_ROOT, "lumettatestfile");
        std::string dll = std::string("Z:") + getenv("LUMETTA_BUILD") + "/shellext/Lumetta.dll";
        for (char& c : dll)
            if (c == '/')
                c = '\\';
        RegistryPlaces places = {};
        places.module = dll.c_str();
        EXPECT_TRUE(WriteRegistryEntries(RegGroupFileTypes, places));
    }
    void Sync(std::initializer_list<int> families)
    {
        BYTE types[FamilyCount] = {};
        for (int f : families)
            types[f - 1] = 1;
        SyncAssociations(NULL, types);
    }
    char module[MAX_PATH] = {};
    QuestionProc shownQuestion = nullptr;
};

TEST_F(Associations, TypeWithoutClassGetsOneMadeFromItsFirstPattern)
{
    Sync({FamilyBmp, FamilyPng});
    EXPECT_EQ("bmpfile", Default(".bmp"));
    EXPECT_EQ("bmpfile", Default(".rle"));
    EXPECT_EQ("bmpfile", Default(".dib"));
    EXPECT_EQ("pngfile", Default(".png"));
    EXPECT_EQ("Bitmap Image", Default("bmpfile"));
    EXPECT_EQ("PNG Image", Default("pngfile"));
    EXPECT_EQ(std::string(module) + ",0", Default("pngfile\\DefaultIcon"));
    EXPECT_EQ(ProductClasses[0].text, Default("pngfile\\shellex\\IconHandler"));
    EXPECT_EQ(ProductClasses[3].text, Default("pngfile\\" ClassThumbnailHandlerKey));
    EXPECT_EQ(ProductClasses[1].text,
              Default("pngfile\\shellex\\PropertySheetHandlers\\Norvane Lumetta"));
    EXPECT_TRUE(IsAssociated("bmpfile"));
    EXPECT_TRUE(IsAssociated("PNGFILE"));
    // Types switched off were not touched.
    EXPECT_EQ("<missing>", Default(".gif"));
    EXPECT_EQ(0, questions.asked);
}

TEST_F(Associations, ClassKeepsItsOwnDescriptionAndIcon)
{
    SetDefault(".gif", "Viewer.Gif");
    SetDefault("Viewer.Gif", "Animated Picture");
    SetDefault("Viewer.Gif\\DefaultIcon", "C:\\viewer.exe,3");
    Sync({FamilyGif});
    EXPECT_EQ("Viewer.Gif", Default(".gif"));
    EXPECT_EQ("Animated Picture", Default("Viewer.Gif"));
    EXPECT_EQ("C:\\viewer.exe,3", Default("Viewer.Gif\\DefaultIcon"));
    EXPECT_TRUE(IsAssociated("Viewer.Gif"));
    RegDeleteTreeA(HKEY_CLASSES_ROOT, "Viewer.Gif");
}

// Values of 200 bytes, too long for the reads, are someone's: a type name,
// an icon and an extension's class stay, and an icon handler that cannot be
// read is replaced only after the question.
TEST_F(Associations, ValuesTooLongToReadAreKept)
{
    std::string name(199, 'n'), icon = "C:\\" + std::string(190, 'i') + ".exe,3";
    SetDefault(".gif", "Viewer.Gif");
    SetDefault("Viewer.Gif", name.c_str());
    SetDefault("Viewer.Gif\\DefaultIcon", icon.c_str());
    SetDefault("Viewer.Gif\\shellex\\IconHandler", name.c_str());
    std::string longClass(199, 'c');
    SetDefault(".png", longClass.c_str());
    Sync({FamilyGif, FamilyPng});
    EXPECT_EQ(name, Default("Viewer.Gif"));
    EXPECT_EQ(icon, Default("Viewer.Gif\\DefaultIcon"));
    EXPECT_EQ(1, questions.asked);
    EXPECT_EQ(name, Default("Viewer.Gif\\shellex\\IconHandler"));
    EXPECT_EQ(longClass, Default(".png"));
    EXPECT_FALSE(KeyExists("pngfile"));
    questions.answer = true;
    Sync({FamilyGif});
    EXPECT_TRUE(IsAssociated("Viewer.Gif"));
    RegDeleteTreeA(HKEY_CLASSES_ROOT, "Viewer.Gif");
}

TEST_F(Associations, AnotherIconHandlerIsReplacedOnlyWhenTheUserSaysYes)
{
    SetDefault(".jpg", "jpegfile");
    SetDefault("jpegfile", "JPEG Picture");
    SetDefault("jpegfile\\shellex\\IconHandler", OtherHandler);

    // No: asked once for the class, although six extensions share it.
    Sync({FamilyJpeg});
    EXPECT_EQ(1, questions.asked);
    EXPECT_NE(std::string::npos, questions.lastText.find(OtherHandlerName));
    EXPECT_NE(std::string::npos, questions.lastText.find("JPEG Picture"));
    EXPECT_EQ("Lumetta Warning", questions.lastCaption);
    EXPECT_EQ(OtherHandler, Default("jpegfile\\shellex\\IconHandler"));
    EXPECT_EQ(ProductClasses[1].text,
              Default("jpegfile\\shellex\\PropertySheetHandlers\\Norvane Lumetta"));
    EXPECT_FALSE(IsAssociated("jpegfile"));
    EXPECT_EQ("jpegfile", Default(".jfif"));

    // Yes replaces it.
    questions.answer = true;
    Sync({FamilyJpeg});
    EXPECT_EQ(2, questions.asked);
    EXPECT_TRUE(IsAssociated("jpegfile"));

    // Bound: never asked again.
    Sync({FamilyJpeg});
    EXPECT_TRUE(AssociateFileClass(NULL, "jpegfile", "JPEG Image", true));
    EXPECT_EQ(2, questions.asked);
}

// Today's Explorer asks the thumbnail handler, the older shell the icon
// handler: another product's one of them is asked about on its own.
TEST_F(Associations, AnotherThumbnailHandlerIsReplacedOnlyWhenTheUserSaysYes)
{
    SetDefault("pngfile\\" ClassThumbnailHandlerKey, OtherHandler);
    Sync({FamilyPng});
    EXPECT_EQ(1, questions.asked);
    EXPECT_NE(std::string::npos, questions.lastText.find("a thumbnail handler:"));
    EXPECT_EQ(OtherHandler, Default("pngfile\\" ClassThumbnailHandlerKey));
    EXPECT_TRUE(IsAssociated("pngfile"));

    questions.answer = true;
    Sync({FamilyPng});
    EXPECT_EQ(ProductClasses[3].text, Default("pngfile\\" ClassThumbnailHandlerKey));
    Sync({});
    EXPECT_FALSE(KeyExists("pngfile\\" ClassThumbnailHandlerKey));
    EXPECT_EQ(2, questions.asked);
}

TEST_F(Associations, TheQuestionNamesAHandlerWithoutAClassByItsClsid)
{
    SetDefault("lumettatestfile\\shellex\\IconHandler", "{99999999-0000-0000-0000-000000000000}");
    EXPECT_TRUE(AssociateFileClass(NULL, "lumettatestfile", "", false));
    EXPECT_EQ(1, questions.asked);
    EXPECT_NE(std::string::npos,
              questions.lastText.find("{99999999-0000-0000-0000-000000000000}"));
    // Without a description the class name stands for the type.
    EXPECT_NE(std::string::npos, questions.lastText.find("lumettatestfile"));
    EXPECT_FALSE(KeyExists("lumettatestfile\\shellex\\PropertySheetHandlers"));
}

TEST_F(Associations, RemovingTakesOnlyOurEntries)
{
    Sync({FamilyGif, FamilyTiff, FamilyPcx});
    SetDefault("giffile\\shellex\\ContextMenuHandlers\\Viewer", OtherHandler);
    SetDefault("tifffile\\shellex\\PropertySheetHandlers\\Viewer", OtherHandler);
    SetDefault("pcxfile\\shellex\\IconHandler", OtherHandler);
    SetDefault("pcxfile\\" ClassThumbnailHandlerKey, OtherHandler);

    Sync({});
    // giffile: both handlers gone, the shellex key stays for the other one.
    EXPECT_FALSE(KeyExists("giffile\\shellex\\IconHandler"));
    EXPECT_FALSE(KeyExists("giffile\\shellex\\PropertySheetHandlers"));
    EXPECT_TRUE(KeyExists("giffile\\shellex\\ContextMenuHandlers\\Viewer"));
    EXPECT_EQ("GIF Image", Default("giffile"));
    EXPECT_EQ(std::string(module) + ",0", Default("giffile\\DefaultIcon"));
    // tifffile: another sheet handler keeps PropertySheetHandlers.
    EXPECT_FALSE(KeyExists("tifffile\\shellex\\PropertySheetHandlers\\Norvane Lumetta"));
    EXPECT_TRUE(KeyExists("tifffile\\shellex\\PropertySheetHandlers\\Viewer"));
    // pcxfile: another product's icon and thumbnail handlers stay.
    EXPECT_EQ(OtherHandler, Default("pcxfile\\shellex\\IconHandler"));
    EXPECT_EQ(OtherHandler, Default("pcxfile\\" ClassThumbnailHandlerKey));
    EXPECT_FALSE(KeyExists("pcxfile\\shellex\\PropertySheetHandlers"));

    // A class with nothing but ours loses its shellex key.
    Sync({FamilyPng});
    Sync({});
    EXPECT_FALSE(KeyExists("pngfile\\shellex"));
    EXPECT_TRUE(KeyExists("pngfile\\DefaultIcon"));
    EXPECT_EQ("pngfile", Default(".png"));
    RemoveAssociation(NULL);
    RemoveAssociation("");
    RemoveAssociation("no such class at all");
}

TEST_F(Associations, ClassNamesAtAndOverTheLengthLimit)
{
    EXPECT_EQ(79u, ClassNameLimit);
    std::string longest(ClassNameLimit, 'L');
    ASSERT_TRUE(AssociateFileClass(NULL, longest.c_str(), "Long", true));
    EXPECT_TRUE(IsAssociated(longest.c_str()));
    EXPECT_EQ(ProductClasses[1].text,
              Default(longest + "\\shellex\\PropertySheetHandlers\\Norvane Lumetta"));
    RemoveAssociation(longest.c_str());
    EXPECT_FALSE(IsAssociated(longest.c_str()));
    EXPECT_TRUE(KeyExists(longest + "\\DefaultIcon"));
    RegDeleteTreeA(HKEY_CLASSES_ROOT, longest.c_str());

    std::string over(ClassNameLimit + 1, 'O');
    EXPECT_FALSE(AssociateFileClass(NULL, over.c_str(), "Over", true));
    EXPECT_FALSE(KeyExists(over));
    EXPECT_FALSE(IsAssociated(over.c_str()));
    EXPECT_FALSE(AssociateFileClass(NULL, NULL, "None", true));
    EXPECT_FALSE(AssociateFileClass(NULL, "", "None", true));
    EXPECT_FALSE(IsAssociated(NULL));
    EXPECT_FALSE(IsAssociated(""));
}

// The question as the user sees it: a message box owned by the caller's
// window, answered here by pressing Yes from another thread.
struct BoxAnswer {
    bool seen = false;
    std::string text;
};

DWORD WINAPI PressYes(LPVOID param)
{
    BoxAnswer* a = (BoxAnswer*)param;
    for (int i = 0; i < 200; i++) {
        HWND box = FindWindowA(NULL, "Lumetta Warning");
        if (box) {
            a->seen = true;
            char text[512] = {};
            HWND label = GetDlgItem(box, 0xFFFF);
            if (label)
                GetWindowTextA(label, text, sizeof(text));
            a->text = text;
            PostMessageA(box, WM_COMMAND, IDYES, 0);
            return 0;
        }
        Sleep(50);
    }
    return 1;
}

TEST_F(Associations, ReplaceQuestionOnARealMessageBox)
{
    if (!getenv("DISPLAY"))
        GTEST_SKIP() << "no display";
    if (getenv("LUMETTA_ASAN"))
        GTEST_SKIP() << "windows cannot be made under the sanitizer";
    AskQuestion = shownQuestion;
    SetDefault("lumettatestfile", "Test Picture");
    SetDefault("lumettatestfile\\shellex\\IconHandler", OtherHandler);
    BoxAnswer answer;
    HANDLE t = CreateThread(NULL, 0, PressYes, &answer, 0, NULL);
    EXPECT_TRUE(AssociateFileClass(NULL, "lumettatestfile", "Unused", true));
    WaitForSingleObject(t, 15000);
    CloseHandle(t);
    EXPECT_TRUE(answer.seen);
    EXPECT_NE(std::string::npos, answer.text.find("Test Picture")) << answer.text;
    EXPECT_NE(std::string::npos, answer.text.find(OtherHandlerName)) << answer.text;
    EXPECT_TRUE(IsAssociated("lumettatestfile"));
}

}  // namespace
