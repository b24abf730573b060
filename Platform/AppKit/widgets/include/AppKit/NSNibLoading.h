// Nibs: a Qt Designer .ui file in the Resources of a bundle, loaded for an owner object.
//
// NSBundle::loadNibNamed(name, owner) (declared with NSBundle, defined here) reads
// Resources/<name>.ui of the bundle that holds the owner's class and builds its widgets. Then:
//  - every user-visible text of the nib (text, title, toolTip, ...) is a key into that bundle's
//    translations, and shows translated;
//  - the owner's outlets are filled by object name, each checked to be of its class; one of them
//    takes the top widget, which the owner then owns (and with it all the others);
//  - a button with the dynamic property "action" (a selector, "doIt:") sends that action to the
//    owner when clicked;
//  - a widget with the dynamic property "valueBinding" (a key path, "a.b") shows the value the owner
//    answers for it: a button as its checked state, which the user's click hands back to the
//    owner, a label as its text. Bound values are read whenever the nib's top widget is shown,
//    and again after each action or change the user makes through the nib;
//  - the owner gets awakeFromNib.
// Anything that does not fit (no such file, a missing, doubled or wrong-class outlet, an action or
// key path the owner does not have) fails the load: the reason is logged, no outlet is touched
// and no widget is left behind.
#pragma once

#include <AppKit/NSView.h>
#include <Foundation/Foundation.h>

#include <QObject>
#include <QPointer>
#include <QVariant>

#include <functional>
#include <string>
#include <vector>

// One outlet: the object name in the nib, the class the object must have, and where it goes.
struct NSNibOutlet {
    std::string name;
    const QMetaObject *type;
    std::function<void(QObject *)> fill;

    template <typename T>
    static NSNibOutlet Of(std::string name, QPointer<T> &slot) {
        return {std::move(name), &T::staticMetaObject, [&slot](QObject *object) { slot = qobject_cast<T *>(object); }};
    }
};

// A value reached by a key path from the owner. `set` is empty for a value the nib only shows.
struct NSNibBinding {
    std::function<QVariant()> get;
    std::function<void(const QVariant &)> set;
};

// What a nib's owner offers it. The nib's widgets do not outlive the owner's use of them: an owner
// that goes away first deletes the top widget, which takes the connections along.
class NSNibOwner {
public:
    virtual ~NSNibOwner();
    // The class whose bundle holds the owner's nibs.
    virtual const NSClass &nibOwnerClass() const = 0;
    virtual std::vector<NSNibOutlet> nibOutlets() = 0;
    // The action for a selector; empty when the owner has none.
    virtual std::function<void(QObject *sender)> nibAction(const std::string &selector);
    // The value for a key path; `get` empty when the owner has none.
    virtual NSNibBinding nibBinding(const std::string &keyPath);
    virtual void awakeFromNib();
};

// Widget classes that a nib may name besides Qt's own, registered by the libraries that define
// them (QUiLoader on its own makes a plain QWidget of a class it does not know).
using NSNibWidgetMaker = QWidget *(*)(QWidget *parent);
void NSNibRegisterWidgetClass(const char *className, NSNibWidgetMaker make);
#define NS_REGISTER_NIB_WIDGET_CLASS(Class)                                                        \
    static const bool nsNibWidgetClassRegistered##Class = (NSNibRegisterWidgetClass(               \
        #Class, [](QWidget *parent) -> QWidget * { return new Class(parent); }), true)
