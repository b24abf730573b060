// AppKit's views and buttons are Qt widgets: a plug-in's view goes into the host's window as it is,
// and a nib (a Qt Designer .ui file) describes them.
#pragma once

#include <QAbstractButton>
#include <QWidget>

using NSView = QWidget;
using NSButton = QAbstractButton;
