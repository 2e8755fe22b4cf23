#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <new>

#include "Graphics.h"
#include "TestFiles.h"

// Allocation failure on demand, to reach the paths that run when a registry cannot grow.
namespace {
int AllocationsBeforeFailure = -1;  // -1: never fail
}  // namespace

void* operator new(std::size_t size) {
    if (AllocationsBeforeFailure == 0) {
        AllocationsBeforeFailure = -1;
        throw std::bad_alloc();
    }
    if (AllocationsBeforeFailure > 0) --AllocationsBeforeFailure;
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
// Kept out of line: inlined next to a new-expression, the free() looks mismatched to the compiler.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace vdib {
namespace {

namespace fs = std::filesystem;
using test::ExpectRaise;
using test::TempDir;

// A graphic whose stored form is its text. SaveStream can be told to fail after writing part.
class TTextGraphic : public TGraphic {
public:
    static const TClass Class;
    const TClass& ClassType() const noexcept override { return Class; }

    explicit TTextGraphic(std::string text = {}) : Text(std::move(text)) {}

    bool QueryEmpty() override { return Text.empty(); }
    void LoadStream(TStream& stream) override {
        Text.assign(static_cast<size_t>(stream.Size() - stream.StreamPosition()), '\0');
        stream.ReadExact(Text.data(), static_cast<int32_t>(Text.size()));
    }
    void SaveStream(TStream& stream) override {
        if (FailAfter < 0) {
            stream.WriteExact(Text.data(), static_cast<int32_t>(Text.size()));
            return;
        }
        stream.WriteExact(Text.data(), FailAfter);
        Raise<EWriteError>(msg::WriteError);
    }

    std::string Text;
    int32_t FailAfter = -1;
};
TGraphic* ConstructText() { return new TTextGraphic; }
const TClass TTextGraphic::Class = {"TTextGraphic", &TGraphic::Class, &ConstructText};

class TRichTextGraphic : public TTextGraphic {
public:
    static const TClass Class;
    const TClass& ClassType() const noexcept override { return Class; }
    using TTextGraphic::TTextGraphic;
};
const TClass TRichTextGraphic::Class = {"TRichTextGraphic", &TTextGraphic::Class, nullptr};

class TOtherGraphic : public TTextGraphic {
public:
    static const TClass Class;
    const TClass& ClassType() const noexcept override { return Class; }
    using TTextGraphic::TTextGraphic;
};
const TClass TOtherGraphic::Class = {"TOtherGraphic", &TGraphic::Class, nullptr};

TEST(GraphicClasses, ReferencesAndInheritance) {
    EXPECT_EQ(TPersistent::Class.Parent, nullptr);
    EXPECT_STREQ(TPersistent::Class.Name, "TPersistent");
    struct Case {
        const TClass& of;
        const TClass& other;
        bool inherits;
    };
    const Case cases[] = {
        {TGraphic::Class, TGraphic::Class, true},
        {TGraphic::Class, TInterfacedPersistent::Class, true},
        {TGraphic::Class, TPersistent::Class, true},
        {TRichTextGraphic::Class, TGraphic::Class, true},
        {TPersistent::Class, TGraphic::Class, false},
        {TRichTextGraphic::Class, TOtherGraphic::Class, false},
        {TTextGraphic::Class, TRichTextGraphic::Class, false},
    };
    for (const Case& c : cases) EXPECT_EQ(c.of.InheritsFrom(c.other), c.inherits) << c.of.Name << " / " << c.other.Name;

    std::unique_ptr<TGraphic> made(TGraphic::Class.Construct());
    EXPECT_STREQ(made->ClassName(), "TGraphic");
    EXPECT_FALSE(made->IsModified);
    EXPECT_FALSE(made->IsTransparent);
}

TEST(GraphicClasses, AssignmentErrors) {
    TGraphic plain;
    TTextGraphic text;
    struct Case {
        std::function<void()> action;
        std::string message;
    };
    const Case cases[] = {
        {[&] { plain.GiveContentTo(&text); }, "TGraphic を TTextGraphic に代入することはできません"},
        {[&] { plain.TakeContentFrom(nullptr); }, "nil を TGraphic に代入することはできません"},
        {[&] { plain.TakeContentFrom(&text); }, "TTextGraphic を TGraphic に代入することはできません"},
        {[&] { text.TakeContentFrom(&plain); }, "TGraphic を TTextGraphic に代入することはできません"},
        {[&] { plain.GiveContentTo(nullptr); }, "TGraphic を nil に代入することはできません"},
    };
    for (const Case& c : cases) ExpectRaise<EConvertError>(c.action, c.message, "EConvertError");
}

TEST(GraphicClasses, AbstractSlotsAndDefaults) {
    TGraphic g;
    TCanvas canvas;
    TMemoryStream stream;
    uint16_t format = 0;
    HGLOBAL data = 0;
    HPALETTE palette = 0;
    const std::function<void()> abstract[] = {
        [&] { g.PaintOn(canvas, TRect{0, 0, 1, 1}); },
        [&] { g.QueryEmpty(); },
        [&] { g.IsBlank(); },
        [&] { g.Width(); },
        [&] { g.Height(); },
        [&] { g.ChangeWidth(1); },
        [&] { g.ChangeHeight(1); },
        [&] { g.LoadStream(stream); },
        [&] { g.SaveStream(stream); },
        [&] { g.ReadStoredData(stream); },
        [&] { g.WriteStoredData(stream); },
        [&] { g.LoadClipboardBlock(8, 0, 0); },
        [&] { g.SaveClipboardBlock(format, data, palette); },
    };
    for (const auto& call : abstract) ExpectRaise<EAbstractError>(call, "Abstract Error", "EAbstractError");

    EXPECT_EQ(g.QueryPalette(), 0u);
    EXPECT_NO_THROW(g.ChangePalette(1234));
    EXPECT_FALSE(g.QueryTransparent());
    g.IsTransparent = true;
    EXPECT_TRUE(g.QueryTransparent());
    EXPECT_FALSE(g.IsModified);
}

TEST(GraphicClasses, ChangeNotification) {
    TTextGraphic g;
    TTextGraphic other;
    std::vector<TPersistent*> senders;
    g.ChangeListener = [&](TPersistent* sender) { senders.push_back(sender); };

    g.ChangeTransparent(false);  // the current value: no notification
    EXPECT_TRUE(senders.empty());
    EXPECT_FALSE(g.IsModified);
    g.ChangeTransparent(true);
    EXPECT_TRUE(g.IsTransparent);
    EXPECT_TRUE(g.IsModified);
    g.ChangeTransparent(true);
    g.NotifyChanged(&other);  // the listener hears the graphic, not the sender passed
    EXPECT_EQ(senders, (std::vector<TPersistent*>{&g, &g}));

    TTextGraphic silent;
    silent.NotifyChanged(nullptr);  // no listener: only the flag
    EXPECT_TRUE(silent.IsModified);
}

TEST(GraphicClasses, ProgressReachesTheListener) {
    TTextGraphic g;
    g.ReportProgress(&g, TProgressStage::Starting, 0, false, TRect{}, "nobody listens");
    int calls = 0;
    g.ProgressListener = [&](TPersistent* sender, TProgressStage stage, uint8_t percent, bool redraw, const TRect& rect,
                             const std::string& message) {
        ++calls;
        EXPECT_EQ(sender, nullptr);
        EXPECT_EQ(stage, TProgressStage::Running);
        EXPECT_EQ(percent, 42);
        EXPECT_TRUE(redraw);
        EXPECT_EQ(rect.Right, 7);
        EXPECT_EQ(message, "half");
    };
    g.ReportProgress(nullptr, TProgressStage::Running, 42, true, TRect{1, 2, 7, 9}, "half");
    EXPECT_EQ(calls, 1);
}

TEST(GraphicClasses, SameContent) {
    struct Case {
        const char* what;
        std::unique_ptr<TGraphic> a, b;
        bool same;
    };
    Case cases[] = {
        {"missing other", std::make_unique<TTextGraphic>("x"), nullptr, false},
        {"both empty, different classes", std::make_unique<TTextGraphic>(), std::make_unique<TOtherGraphic>(), true},
        {"one empty", std::make_unique<TTextGraphic>("x"), std::make_unique<TTextGraphic>(), false},
        {"other empty", std::make_unique<TTextGraphic>(), std::make_unique<TTextGraphic>("x"), false},
        {"same class, same bytes", std::make_unique<TTextGraphic>("abc"), std::make_unique<TTextGraphic>("abc"), true},
        {"same class, other bytes", std::make_unique<TTextGraphic>("abc"), std::make_unique<TTextGraphic>("abd"), false},
        {"same class, prefix", std::make_unique<TTextGraphic>("abc"), std::make_unique<TTextGraphic>("ab"), false},
        {"descendant class, same bytes", std::make_unique<TTextGraphic>("abc"),
         std::make_unique<TRichTextGraphic>("abc"), false},
        {"large, same", std::make_unique<TTextGraphic>(std::string(100000, 'q')),
         std::make_unique<TTextGraphic>(std::string(100000, 'q')), true},
    };
    for (Case& c : cases) EXPECT_EQ(c.a->SameContent(c.b.get()), c.same) << c.what;
}

// Counts its releases and its destruction.
class TCountedImage : public TSharedImage {
public:
    TCountedImage(int& releases, int& destroyed, bool failRelease = false)
        : Releases(releases), Destroyed(destroyed), FailRelease(failRelease) {}
    ~TCountedImage() override { ++Destroyed; }

protected:
    void ReleaseHandles() override {
        ++Releases;
        if (FailRelease) Raise<EInvalidOperation>("release failed");
    }

private:
    int& Releases;
    int& Destroyed;
    bool FailRelease;
};

TEST(SharedImage, TheLastDropReleasesOnce) {
    TSharedImage::DropHolder(nullptr);  // nothing happens

    int releases = 0, destroyed = 0;
    auto* image = new TCountedImage(releases, destroyed);
    image->AddHolder();
    image->AddHolder();
    EXPECT_EQ(image->HolderCount, 2);
    TSharedImage::DropHolder(image);
    EXPECT_EQ(image->HolderCount, 1);
    EXPECT_EQ(releases, 0);
    EXPECT_EQ(destroyed, 0);
    TSharedImage::DropHolder(image);
    EXPECT_EQ(releases, 1);
    EXPECT_EQ(destroyed, 1);

    // A failing release still frees the object, and the failure passes on.
    releases = destroyed = 0;
    auto* failing = new TCountedImage(releases, destroyed, true);
    failing->AddHolder();
    EXPECT_THROW(TSharedImage::DropHolder(failing), EInvalidOperation);
    EXPECT_EQ(releases, 1);
    EXPECT_EQ(destroyed, 1);
}

class Registries : public ::testing::Test {
protected:
    void SetUp() override { GraphicsModule.Finalize(); }
    void TearDown() override { GraphicsModule.Finalize(); }

    static std::vector<std::string> Extensions() {
        std::vector<std::string> result;
        for (const auto& f : *TPicture::FileFormats()) result.push_back(f.Extension + ":" + f.GraphicClass->Name);
        return result;
    }
    static std::vector<std::string> Clipboard() {
        std::vector<std::string> result;
        const auto* r = TPicture::ClipboardFormats();
        EXPECT_EQ(r->Classes.size(), r->Formats.size());
        for (size_t i = 0; i < r->Classes.size(); ++i)
            result.push_back(std::to_string(r->Formats[i]) + ":" + r->Classes[i]->Name);
        return result;
    }
};

TEST_F(Registries, CreatedOnFirstUseAndFreedAtFinalisation) {
    TPicture::RemoveGraphicClass(TGraphic::Class);  // creates nothing
    EXPECT_EQ(TPicture::FileFormats(), nullptr);
    EXPECT_EQ(TPicture::ClipboardFormats(), nullptr);

    TPicture::AddFileFormat("DIB", "Device Independent Bitmap", TTextGraphic::Class);
    EXPECT_EQ(TPicture::ClipboardFormats(), nullptr);
    ASSERT_NE(TPicture::FileFormats(), nullptr);
    const auto& entry = TPicture::FileFormats()->front();
    EXPECT_EQ(entry.Extension, "dib");
    EXPECT_EQ(entry.Description, "Device Independent Bitmap");
    EXPECT_EQ(entry.DescriptionResource, 0);

    TPicture::AddClipboardFormat(8, TTextGraphic::Class);
    ASSERT_NE(TPicture::ClipboardFormats(), nullptr);
    GraphicsModule.Finalize();
    EXPECT_EQ(TPicture::FileFormats(), nullptr);
    EXPECT_EQ(TPicture::ClipboardFormats(), nullptr);
}

TEST_F(Registries, RemoveTakesDescendantsAndKeepsTheOrder) {
    TPicture::AddFileFormat("Txt", "text", TTextGraphic::Class);
    TPicture::AddFileFormat("oth", "other", TOtherGraphic::Class);
    TPicture::AddFileFormat("RTF", "rich", TRichTextGraphic::Class);
    TPicture::AddFileFormat("gfx", "plain", TGraphic::Class);
    TPicture::AddFileFormat("txt", "text again", TTextGraphic::Class);  // duplicates are appended
    TPicture::AddFileFormat("ÄbC", "bytes above ASCII stay", TOtherGraphic::Class);
    for (auto [format, cls] : {std::pair<uint16_t, const TClass*>{1, &TRichTextGraphic::Class},
                               {2, &TOtherGraphic::Class},
                               {3, &TTextGraphic::Class},
                               {4, &TGraphic::Class},
                               {5, &TTextGraphic::Class}})
        TPicture::AddClipboardFormat(format, *cls);
    EXPECT_EQ(Extensions(), (std::vector<std::string>{"txt:TTextGraphic", "oth:TOtherGraphic", "rtf:TRichTextGraphic",
                                                      "gfx:TGraphic", "txt:TTextGraphic", "Äbc:TOtherGraphic"}));

    TPicture::RemoveGraphicClass(TTextGraphic::Class);
    EXPECT_EQ(Extensions(), (std::vector<std::string>{"oth:TOtherGraphic", "gfx:TGraphic", "Äbc:TOtherGraphic"}));
    EXPECT_EQ(Clipboard(), (std::vector<std::string>{"2:TOtherGraphic", "4:TGraphic"}));

    TPicture::RemoveGraphicClass(TGraphic::Class);
    EXPECT_TRUE(Extensions().empty());
    EXPECT_TRUE(Clipboard().empty());
}

TEST_F(Registries, AClipboardEntryThatCannotBeCompletedIsTakenBack) {
    TPicture::AddClipboardFormat(3, TOtherGraphic::Class);
    const auto* r = TPicture::ClipboardFormats();
    ASSERT_EQ(r->Classes.size(), r->Classes.capacity());
    ASSERT_EQ(r->Formats.size(), r->Formats.capacity());
    AllocationsBeforeFailure = 1;  // the class list grows, the number list cannot
    EXPECT_THROW(TPicture::AddClipboardFormat(8, TTextGraphic::Class), std::bad_alloc);
    AllocationsBeforeFailure = -1;
    EXPECT_EQ(Clipboard(), (std::vector<std::string>{"3:TOtherGraphic"}));
}

class TTestCanvas : public TCanvas {
public:
    HDC Available = 0;
    int Creations = 0;

protected:
    HDC CreateHandle() override {
        ++Creations;
        return Available;
    }
};

TEST(Canvas, DeviceContext) {
    TTestCanvas canvas;
    EXPECT_EQ(canvas.CopyMode, 0x00CC0020u);
    std::vector<std::string> events;
    canvas.OnChanging = [&] { events.push_back("changing"); };
    ExpectRaise<EInvalidOperation>([&] { canvas.DeviceContext(); }, "Canvas に対する描画ができません",
                                   "EInvalidOperation");
    EXPECT_EQ(events.size(), 1u);

    canvas.Available = 77;
    EXPECT_EQ(canvas.DeviceContext(), 77u);
    canvas.Available = 99;
    EXPECT_EQ(canvas.DeviceContext(), 77u);  // made once, then kept
    EXPECT_EQ(canvas.Creations, 2);
    EXPECT_EQ(events.size(), 3u);  // the listener hears every read

    TCanvas plain;
    EXPECT_THROW(plain.DeviceContext(), EInvalidOperation);
}

TEST(GraphicFiles, LoadFile) {
    TempDir dir;
    test::WriteWhole(dir / "in.txt", std::string(70000, 'L') + "end");
    TTextGraphic g;
    g.LoadFile(dir / "in.txt");
    EXPECT_EQ(g.Text.size(), 70003u);
    EXPECT_EQ(g.Text.substr(69998), "LLend");

    const std::string missing = dir / "missing.bmp";
    ExpectRaise<EFOpenError>([&] { g.LoadFile(missing); }, "ファイル " + missing + " は開けません", "EFOpenError");
    ExpectRaise<EFOpenError>([&] { g.LoadFile(dir.Path.string()); }, "ファイル " + dir.Path.string() + " は開けません",
                             "EFOpenError");
}

mode_t ModeOf(const std::string& name) {
    struct stat st;
    return ::stat(name.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

mode_t DefaultMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

TEST(GraphicFiles, SaveFileReplacesSafely) {
    TempDir dir;
    const std::string target = dir / "out.bmp";

    // A new file: written whole, default permissions, nothing else left behind.
    TTextGraphic big(std::string(200000, 'b'));
    big.SaveFile(target);
    EXPECT_EQ(test::ReadWhole(target), big.Text);
    EXPECT_EQ(ModeOf(target), DefaultMode());
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"out.bmp"}));

    // An existing file keeps its permission bits.
    ::chmod(target.c_str(), 0640);
    TTextGraphic small("new contents");
    small.SaveFile(target);
    EXPECT_EQ(test::ReadWhole(target), "new contents");
    EXPECT_EQ(ModeOf(target), 0640u);

    // Writing fails part way (small and large partial writes): the old file stays whole and the
    // temporary file is gone.
    for (int32_t failAfter : {0, 5, 100000}) {
        SCOPED_TRACE(failAfter);
        TTextGraphic failing(std::string(150000, 'f'));
        failing.FailAfter = failAfter;
        ExpectRaise<EWriteError>([&] { failing.SaveFile(target); }, "ストリームへの書き込みエラー", "EWriteError");
        EXPECT_EQ(test::ReadWhole(target), "new contents");
        EXPECT_EQ(ModeOf(target), 0640u);
        EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"out.bmp"}));
    }

    // An empty graphic still makes the file, empty.
    TTextGraphic().SaveFile(target);
    EXPECT_EQ(test::ReadWhole(target), "");
}

TEST(GraphicFiles, SaveFileThroughLinks) {
    TempDir dir;
    fs::create_directory(dir.Path / "real");
    test::WriteWhole(dir / "real/picture.bmp", "old");
    ::chmod((dir / "real/picture.bmp").c_str(), 0604);
    fs::create_symlink("real/picture.bmp", dir.Path / "link.bmp");
    fs::create_symlink("real/made.bmp", dir.Path / "dangling.bmp");

    TTextGraphic("through the link").SaveFile(dir / "link.bmp");
    EXPECT_TRUE(fs::is_symlink(dir.Path / "link.bmp"));
    EXPECT_EQ(test::ReadWhole(dir / "real/picture.bmp"), "through the link");
    EXPECT_EQ(ModeOf(dir / "real/picture.bmp"), 0604u);

    TTextGraphic("made at the end of the link").SaveFile(dir / "dangling.bmp");
    EXPECT_TRUE(fs::is_symlink(dir.Path / "dangling.bmp"));
    EXPECT_EQ(test::ReadWhole(dir / "real/made.bmp"), "made at the end of the link");

    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"dangling.bmp", "link.bmp", "real"}));
    std::vector<std::string> inReal;
    for (const auto& e : fs::directory_iterator(dir.Path / "real")) inReal.push_back(e.path().filename().string());
    std::sort(inReal.begin(), inReal.end());
    EXPECT_EQ(inReal, (std::vector<std::string>{"made.bmp", "picture.bmp"}));
}

TEST(GraphicFiles, SaveFileFailuresAndDevices) {
    TempDir dir;
    TTextGraphic g("data");
    // Names are reported as passed.
    const std::string cases[] = {
        dir / "no/such/dir/out.bmp",
        "./no-such-dir-vdib/../out.bmp",
        dir.Path.string(),  // a directory is no file
        dir.Path.string() + "/",
        "",
    };
    for (const std::string& name : cases) {
        SCOPED_TRACE(name);
        ExpectRaise<EFCreateError>([&] { g.SaveFile(name); }, "ファイル " + name + " を作成できません",
                                   "EFCreateError");
    }
    if (::geteuid() != 0) {
        fs::create_directory(dir.Path / "locked");
        ::chmod((dir / "locked").c_str(), 0500);
        const std::string name = dir / "locked/out.bmp";
        ExpectRaise<EFCreateError>([&] { g.SaveFile(name); }, "ファイル " + name + " を作成できません",
                                   "EFCreateError");
        ::chmod((dir / "locked").c_str(), 0700);
    }

    // Devices are written directly; a refusing one still reports the failure.
    EXPECT_NO_THROW(g.SaveFile("/dev/null"));
    if (::access("/dev/full", W_OK) == 0)
        ExpectRaise<EWriteError>([&] { g.SaveFile("/dev/full"); }, "ストリームへの書き込みエラー", "EWriteError");
}

}  // namespace
}  // namespace vdib
