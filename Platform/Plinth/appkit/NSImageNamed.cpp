// +[NSImage imageNamed:class:]: the image a plug-in ships among its bundle's resources.
#include <AppKit/NSImage.h>

#include <AppKit/NSStringQt.h>

#include <QImageReader>

std::unique_ptr<NSImage> NSImage::imageNamed(CFStringRef name, const NSClass &cls) {
    if (name == nullptr) return nullptr;
    NSBundle *bundle = NSBundle::bundleForClass(cls);
    if (bundle->CFBundle() == nullptr) return nullptr;
    // A drawing scales to every size the host asks for; a picture is the fallback.
    for (CFStringRef type : {CFSTR("svg"), CFSTR("png")}) {
        wfs::CFRef<CFURLRef> url(CFBundleCopyResourceURL(bundle->CFBundle(), name, type, nullptr));
        wfs::CFRef<CFStringRef> path(url ? CFURLCopyFileSystemPath(url.get(), kCFURLPOSIXPathStyle) : nullptr);
        if (!path) continue;
        const QString file = QStringFromCFString(path.get());
        // A QIcon of a file it cannot read is not null, it just draws nothing; the host is better
        // told that there is no image.
        if (QImageReader(file).canRead()) return std::make_unique<NSImage>(file);
    }
    return nullptr;
}
