// The graphic framework: SaveFile's safe replacement of the target and the format registries.
#include "support/Process.h"

namespace vdib::test {
namespace {

const std::string WriteFailed = "EWriteError: ストリームへの書き込みエラー";

// A graphic whose stored form is its text; SaveStream can be told to fail after writing part.
class TTextGraphic : public TGraphic {
public:
    static const TClass Class;
    const TClass& ClassType() const noexcept override { return Class; }
    explicit TTextGraphic(std::string text = {}, int32_t failAfter = -1) : Text(std::move(text)), FailAfter(failAfter) {}
    void SaveStream(TStream& stream) override {
        stream.WriteExact(Text.data(), FailAfter < 0 ? static_cast<int32_t>(Text.size()) : FailAfter);
        if (FailAfter >= 0) Raise<EWriteError>(msg::WriteError);
    }
    bool QueryEmpty() override { return Text.empty(); }
    std::string Text;
    int32_t FailAfter;
};
const TClass TTextGraphic::Class = {"TTextGraphic", &TGraphic::Class, nullptr};
// A descendant of TTextGraphic, and a sibling.
const TClass RichText = {"TRichTextGraphic", &TTextGraphic::Class, nullptr};
const TClass Other = {"TOtherGraphic", &TGraphic::Class, nullptr};

// An existing file keeps its contents until the new ones are complete, and its permission bits. A
// link stays a link, and the file it names is written; a device is written directly.
TEST(SaveFile, ReplacesTheTargetSafely) {
    TempDir dir;
    const std::string target = dir / "out.bmp";
    TTextGraphic(std::string(200000, 'b')).SaveFile(target);
    EXPECT_EQ(ReadWhole(target), std::string(200000, 'b'));
    fs::permissions(target, fs::perms(0640));
    for (const int32_t failAfter : {-1, 0, 5, 100000}) {
        SCOPED_TRACE(failAfter);
        EXPECT_EQ(RaisedBy([&] { TTextGraphic(failAfter < 0 ? "new contents" : std::string(150000, 'f'), failAfter).SaveFile(target); }),
                  failAfter < 0 ? "" : WriteFailed);
        EXPECT_EQ(ReadWhole(target), "new contents");
#if !defined(_WIN32)  // Windows keeps attributes, not permission bits
        EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));
#endif
        EXPECT_EQ(Entries(dir.Path), "out.bmp");
    }
    for (const std::string& name : {dir / "no/such/dir/out.bmp", dir.Path.string(), std::string()})
        EXPECT_EQ(RaisedBy([&] { TTextGraphic("data").SaveFile(name); }), "EFCreateError: ファイル " + name + " を作成できません");

#if defined(_WIN32)
    GTEST_SKIP() << "links and device nodes are POSIX";
#endif
    fs::create_directory(dir.Path / "real");
    WriteWhole(dir / "real/picture.bmp", "old");
    fs::create_symlink("real/picture.bmp", dir.Path / "link.bmp");
    fs::create_symlink("real/made.bmp", dir.Path / "dangling.bmp");
    TTextGraphic("through the link").SaveFile(dir / "link.bmp");
    TTextGraphic("made at the end of the link").SaveFile(dir / "dangling.bmp");
    EXPECT_EQ(ReadWhole(dir / "real/picture.bmp") + ", " + ReadWhole(dir / "real/made.bmp"), "through the link, made at the end of the link");
    EXPECT_EQ(Entries(dir.Path), "dangling.bmp link.bmp out.bmp real/ real/made.bmp real/picture.bmp");

    for (const auto& [name, minor] : {std::pair{"null", NullDevice}, {"full", FullDevice}})
        if (const std::string why = MakeDevice(dir / name, minor); !why.empty()) GTEST_SKIP() << why;
    EXPECT_EQ(RaisedBy([&] { TTextGraphic("data").SaveFile(dir / "null"); }), "");
    EXPECT_EQ(RaisedBy([&] { TTextGraphic("data").SaveFile(dir / "full"); }), WriteFailed);
    EXPECT_TRUE(fs::is_character_file(dir.Path / "null") && fs::is_character_file(dir.Path / "full"));
}

// Extensions are lower-cased (bytes above ASCII stay as they are); removing a class takes its
// descendants from both registries and keeps the order of the rest.
TEST(Registries, RemoveGraphicClassTakesDescendants) {
    GraphicsModule.Finalize();
    for (const auto& [extension, graphicClass] : {std::pair{"Txt", &TTextGraphic::Class}, {"oth", &Other}, {"DIB", &RichText},
                                                  {"gfx", &TGraphic::Class}, {"txt", &TTextGraphic::Class}, {"ÄbC", &Other}})
        TPicture::AddFileFormat(extension, "", *graphicClass);
    for (const auto& [format, graphicClass] : {std::pair{1, &RichText}, {2, &Other}, {3, &TTextGraphic::Class}, {4, &TGraphic::Class}})
        TPicture::AddClipboardFormat(uint16_t(format), *graphicClass);
    auto registered = [] {
        std::string all;
        for (const auto& f : TPicture::FileFormats()) all += f.Extension + ":" + f.GraphicClass->Name + " ";
        const TPicture::TClipboardFormats clipboard = TPicture::ClipboardFormats();
        for (std::size_t i = 0; i < clipboard.Classes.size(); ++i)
            all += std::to_string(clipboard.Formats.at(i)) + ":" + clipboard.Classes[i]->Name + " ";
        return all;
    };
    EXPECT_EQ(registered(), "txt:TTextGraphic oth:TOtherGraphic dib:TRichTextGraphic gfx:TGraphic txt:TTextGraphic "
                            "Äbc:TOtherGraphic 1:TRichTextGraphic 2:TOtherGraphic 3:TTextGraphic 4:TGraphic ");
    TPicture::RemoveGraphicClass(TTextGraphic::Class);
    EXPECT_EQ(registered(), "oth:TOtherGraphic gfx:TGraphic Äbc:TOtherGraphic 2:TOtherGraphic 4:TGraphic ");
    TPicture::RemoveGraphicClass(TGraphic::Class);
    EXPECT_EQ(registered(), "");
    GraphicsModule.Finalize();
}

}  // namespace
}  // namespace vdib::test
