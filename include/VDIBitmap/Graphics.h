// The graphic framework: class references, the graphic base class with its change
// notification and file loading and saving, reference-counted shared images, the process-wide
// picture-format registries, and the canvas as drawing reads it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <VDIBitmap/DeviceContext.h>
#include <VDIBitmap/Platform.h>
#include <VDIBitmap/Streams.h>
#include <VDIBitmap/SysUtils.h>
#include <VDIBitmap/System.h>

namespace vdib {

class TPersistent;
class TGraphic;
class TCanvas;

// A class reference: the name, the parent class, and for graphic classes a virtual
// constructor. Each class has one static instance.
struct TClass {
    const char* Name;
    const TClass* Parent;
    TGraphic* (*Construct)();  // null for classes that cannot be made from their reference

    // True for this class and every class that descends from it.
    bool InheritsFrom(const TClass& other) const noexcept;
};
using TGraphicClass = TClass;

struct TRect {
    int32_t Left, Top, Right, Bottom;
};

class TPersistent {
public:
    static const TClass Class;
    virtual ~TPersistent() = default;
    virtual const TClass& ClassType() const noexcept { return Class; }
    const char* ClassName() const noexcept { return ClassType().Name; }
    bool InheritsFrom(const TClass& c) const noexcept { return ClassType().InheritsFrom(c); }

    // Base: EConvertError "%s を %s に代入することはできません" (this class, destination class).
    virtual void GiveContentTo(TPersistent* dest);
    // Base: a null source raises the assignment error ("nil", this class); otherwise
    // source->GiveContentTo(this).
    virtual void TakeContentFrom(TPersistent* source);
};

class TInterfacedPersistent : public TPersistent {
public:
    static const TClass Class;
    const TClass& ClassType() const noexcept override { return Class; }
};

enum class TProgressStage { Starting, Running, Ending };
using TNotifyEvent = std::function<void(TPersistent* sender)>;
using TProgressEvent = std::function<void(TPersistent* sender, TProgressStage stage, uint8_t percentDone,
                                          bool redrawNow, const TRect& rect, const std::string& message)>;

class TGraphic : public TInterfacedPersistent {
public:
    static const TClass Class;
    const TClass& ClassType() const noexcept override { return Class; }

    TNotifyEvent ChangeListener;
    TProgressEvent ProgressListener;
    bool IsModified = false;
    bool IsTransparent = false;

    // Sets IsModified and calls ChangeListener (when set) with this graphic as sender.
    virtual void NotifyChanged(TPersistent* sender);
    // Operations marked abstract raise EAbstractError "Abstract Error" unless a class replaces them.
    virtual void PaintOn(TCanvas& canvas, const TRect& rect);            // abstract
    // True when both are empty (any classes), else when of the same class with the same
    // stored bytes (WriteStoredData into memory streams).
    virtual bool SameContent(TGraphic* graphic);
    virtual bool QueryEmpty();                                           // abstract
    virtual int32_t QueryHeight();                                       // abstract
    virtual HPALETTE QueryPalette();                                     // 0
    virtual bool QueryTransparent();                                     // IsTransparent
    virtual int32_t QueryWidth();                                        // abstract
    virtual void ReadStoredData(TStream& stream);                        // LoadStream
    virtual void ChangeHeight(int32_t value);                            // abstract
    virtual void ChangePalette(HPALETTE value);                          // nothing
    virtual void ChangeTransparent(bool value);                          // notifies on a change
    virtual void ChangeWidth(int32_t value);                             // abstract
    virtual void WriteStoredData(TStream& stream);                       // SaveStream
    virtual void LoadFile(const std::string& fileName);
    // Writes the file safely: a temporary file beside the target, renamed over it only when
    // everything was written; on failure the target stays as it was.
    virtual void SaveFile(const std::string& fileName);
    virtual void LoadStream(TStream& stream);                            // abstract
    virtual void SaveStream(TStream& stream);                            // abstract
    virtual void LoadClipboardBlock(uint16_t format, HGLOBAL data, HPALETTE palette);  // abstract
    virtual void SaveClipboardBlock(uint16_t& format, HGLOBAL& data, HPALETTE& palette);  // abstract

    // Calls ProgressListener when it is set.
    virtual void ReportProgress(TPersistent* sender, TProgressStage stage, uint8_t percentDone, bool redrawNow,
                                const TRect& rect, const std::string& message);

    bool IsBlank() { return QueryEmpty(); }
    int32_t Width() { return QueryWidth(); }
    int32_t Height() { return QueryHeight(); }
};

// A reference-counted image that several graphics may hold, in one thread or in several: the
// count is atomic, and a holder that reads the count as 1 (an acquiring load) after every other
// holder dropped the image also sees all they did to it, so it may change the image in place.
class TSharedImage {
public:
    virtual ~TSharedImage() = default;

    std::atomic<int32_t> HolderCount{0};

    void AddHolder() noexcept { HolderCount.fetch_add(1, std::memory_order_relaxed); }
    // Nothing for a null image. Otherwise counts down; the last holder's drop calls
    // ReleaseHandles and then frees the image.
    static void DropHolder(TSharedImage* image);

protected:
    virtual void ReleaseHandles();  // abstract
};

// The process-wide picture-format registries. Every operation is safe from any thread at any time,
// also while another thread's TLibraryScope ends and the registries go (each takes a lock).
class TPicture {
public:
    struct TFileFormat {
        const TGraphicClass* GraphicClass;
        std::string Extension;  // lower-cased
        std::string Description;
        int32_t DescriptionResource;
    };
    struct TClipboardFormats {
        std::vector<const TGraphicClass*> Classes;
        std::vector<uint16_t> Formats;
    };

    static void AddFileFormat(const std::string& extension, const std::string& description,
                              const TGraphicClass& graphicClass);
    static void AddClipboardFormat(uint16_t format, const TGraphicClass& graphicClass);
    // Removes, last to first, every entry of the class and its descendants from each registry
    // that exists; creates none.
    static void RemoveGraphicClass(const TGraphicClass& graphicClass);

    // Copies of the registries as they stand, empty while they have not been created: what a
    // reader holds stays valid whatever other threads add, remove or free.
    static std::vector<TFileFormat> FileFormats();
    static TClipboardFormats ClipboardFormats();
};

// The graphic framework module of the initialisation table: its finalisation frees the
// registries.
extern const TModule GraphicsModule;

// The canvas, as drawing reads it. Reading DeviceContext calls OnChanging, then makes sure a
// device context exists (CreateHandle); EInvalidOperation "Canvas に対する描画ができません"
// when none can be had.
class TCanvas {
public:
    virtual ~TCanvas() = default;

    HDC DeviceContext();
    uint32_t CopyMode = SRCCOPY;
    std::function<void()> OnChanging;

protected:
    // Returns a device context for this canvas, 0 when it has none. The base has none.
    virtual HDC CreateHandle() { return 0; }
    HDC FHandle = 0;
};

// A canvas that draws onto a surface of its own (CreateSurfaceDC). The surface is made on the
// canvas's first request for a device context (so a canvas nobody draws on makes none) and is
// deleted with the canvas; until then Surface() is 0. A size the surface cannot have leaves the
// canvas without a device context, which the canvas reports as it reports any missing one.
class TSurfaceCanvas : public TCanvas {
public:
    TSurfaceCanvas(std::int32_t width, std::int32_t height, std::uint32_t fill = 0x00FFFFFF)
        : FWidth(width), FHeight(height), FFill(fill) {}
    ~TSurfaceCanvas() override;
    TSurfaceCanvas(const TSurfaceCanvas&) = delete;
    TSurfaceCanvas& operator=(const TSurfaceCanvas&) = delete;

    HDC Surface() const noexcept { return FSurface; }

protected:
    HDC CreateHandle() override;

private:
    std::int32_t FWidth;
    std::int32_t FHeight;
    std::uint32_t FFill;
    HDC FSurface = 0;
};

}  // namespace vdib
