// An image is an icon: the host draws it at whatever size its window needs, and an SVG stays sharp.
#pragma once

#include <Foundation/Foundation.h>

#include <QIcon>

#include <memory>

class NSImage : public QIcon {
public:
    using QIcon::QIcon;
    explicit NSImage(const QIcon &icon) : QIcon(icon) {}

    // +[NSImage imageNamed:class:], which the host's plug-in framework adds to the image class, as
    // a category would: Resources/<name>.svg, else Resources/<name>.png, of the bundle that holds
    // `cls`; null when neither is there or neither reads as an image. It is defined by Plinth's
    // AppKit part (the PlinthAppKit library), so only code that links that library can call it.
    static std::unique_ptr<NSImage> imageNamed(CFStringRef name, const NSClass &cls);
};
