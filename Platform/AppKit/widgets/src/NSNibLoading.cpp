// Loading a nib: a .ui file built by QUiLoader, checked against its owner, then connected to it.
#include <AppKit/NSNibLoading.h>

#include <AppKit/NSStringQt.h>
#include <Foundation/FoundationLog.h>

#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QUiLoader>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

namespace {

using wfs::CFRef;

constexpr char kLogFile[] = "Platform/AppKit/NSNibLoading";
constexpr char kLogMethod[] = "+[NSBundle loadNibNamed:owner:]";

// The dynamic properties a nib's widgets carry for their owner.
constexpr char kActionProperty[] = "action";
constexpr char kBindingProperty[] = "valueBinding";

// The properties of a nib that a person reads, and so are translated.
constexpr const char *kTextProperties[] = {"text", "title", "toolTip", "statusTip", "whatsThis", "windowTitle",
                                           "placeholderText", "accessibleName", "accessibleDescription"};

std::mutex gWidgetClassesMutex;

std::map<std::string, NSNibWidgetMaker> &WidgetClasses() {
    static auto *const classes = new std::map<std::string, NSNibWidgetMaker>;
    return *classes;
}

void LogFailure(const QString &reason) {
    CFRef<CFStringRef> message = CFStringFromQString(reason);
    wfs::foundation::Log(wfs::foundation::LogLevel::Error, message ? message.get() : CFSTR("a nib did not load"),
                         __LINE__, kLogFile, kLogMethod);
}

// QUiLoader, with this process's registered widget classes and none of the designer plug-ins that
// happen to be installed: a nib gets exactly the classes the program and its plug-ins define.
class NibLoader : public QUiLoader {
public:
    NibLoader() {
        clearPluginPaths();
        setTranslationEnabled(false);  // translated from the bundle's catalogue instead
    }

    QWidget *createWidget(const QString &className, QWidget *parent, const QString &name) override {
        NSNibWidgetMaker make = nullptr;
        {
            std::lock_guard<std::mutex> lock(gWidgetClassesMutex);
            auto found = WidgetClasses().find(className.toStdString());
            if (found != WidgetClasses().end()) make = found->second;
        }
        QWidget *widget = make != nullptr ? make(parent) : QUiLoader::createWidget(className, parent, name);
        if (widget != nullptr) widget->setObjectName(name);
        return widget;
    }
};

// Keeps a nib's bound widgets showing their owner's values. A child of the nib's top widget, so
// it goes with the widgets it serves.
class Bindings : public QObject {
public:
    struct Bound {
        QPointer<QWidget> widget;
        const char *property;
        std::function<QVariant()> get;
    };

    explicit Bindings(QWidget *top) : QObject(top) { top->installEventFilter(this); }

    void add(QWidget *widget, const char *property, std::function<QVariant()> get) {
        bound_.push_back({widget, property, std::move(get)});
    }

    void refresh() {
        for (const Bound &b : bound_) {
            if (b.widget) b.widget->setProperty(b.property, b.get());
        }
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (watched == parent() && event->type() == QEvent::Show) refresh();
        return false;
    }

private:
    std::vector<Bound> bound_;
};

QString Translated(NSBundle *bundle, const QString &text) {
    CFRef<CFStringRef> key = CFStringFromQString(text);
    if (!key) return text;
    return QStringFromCFString(bundle->localizedStringForKey(key.get(), nullptr, nullptr).get());
}

void Translate(NSBundle *bundle, QWidget *top) {
    QList<QWidget *> widgets = top->findChildren<QWidget *>();
    widgets.prepend(top);
    for (QWidget *widget : widgets) {
        for (const char *property : kTextProperties) {
            if (widget->metaObject()->indexOfProperty(property) < 0) continue;
            const QVariant value = widget->property(property);
            if (value.typeId() == QMetaType::QString && !value.toString().isEmpty()) {
                widget->setProperty(property, Translated(bundle, value.toString()));
            }
        }
    }
}

// The one object of the nib named `name`; null, with the reason, when there is none or several.
QObject *Named(QWidget *top, const std::string &name, QString &reason) {
    const QString wanted = QString::fromStdString(name);
    QList<QObject *> found = top->findChildren<QObject *>(wanted);
    if (top->objectName() == wanted) found.prepend(top);
    if (found.size() == 1) return found[0];
    reason = found.empty() ? QStringLiteral("no object named \"%1\"").arg(wanted)
                           : QStringLiteral("%1 objects named \"%2\"").arg(found.size()).arg(wanted);
    return nullptr;
}

// Everything the owner must supply for this nib, found before anything is connected.
struct Plan {
    std::vector<std::pair<const NSNibOutlet *, QObject *>> outlets;
    std::vector<std::pair<QAbstractButton *, std::function<void(QObject *)>>> actions;
    std::vector<std::pair<QWidget *, NSNibBinding>> bindings;
};

bool MakePlan(QWidget *top, NSNibOwner *owner, const std::vector<NSNibOutlet> &outlets, Plan &plan, QString &reason) {
    for (const NSNibOutlet &outlet : outlets) {
        QObject *object = Named(top, outlet.name, reason);
        if (object == nullptr) return reason.prepend(QStringLiteral("outlet: ")), false;
        if (outlet.type->cast(object) == nullptr) {
            reason = QStringLiteral("outlet \"%1\" is a %2, not a %3")
                         .arg(QString::fromStdString(outlet.name), object->metaObject()->className(),
                              outlet.type->className());
            return false;
        }
        plan.outlets.emplace_back(&outlet, object);
    }
    // The owner takes the top widget, and with it every other one, through one of its outlets.
    if (std::none_of(plan.outlets.begin(), plan.outlets.end(), [top](const auto &o) { return o.second == top; })) {
        reason = QStringLiteral("no outlet takes the top widget \"%1\", which would have no owner").arg(top->objectName());
        return false;
    }
    QList<QWidget *> widgets = top->findChildren<QWidget *>();
    widgets.prepend(top);
    for (QWidget *widget : widgets) {
        const QVariant action = widget->property(kActionProperty);
        if (action.isValid()) {
            auto *button = qobject_cast<QAbstractButton *>(widget);
            auto send = button != nullptr ? owner->nibAction(action.toString().toStdString()) : nullptr;
            if (!send) {
                reason = QStringLiteral("\"%1\" names the action %2, which %3")
                             .arg(widget->objectName(), action.toString(),
                                  button != nullptr ? QStringLiteral("its owner does not have")
                                                    : QStringLiteral("only a button can send"));
                return false;
            }
            plan.actions.emplace_back(button, std::move(send));
        }
        const QVariant keyPath = widget->property(kBindingProperty);
        if (keyPath.isValid()) {
            NSNibBinding binding = owner->nibBinding(keyPath.toString().toStdString());
            const bool canShow = qobject_cast<QAbstractButton *>(widget) != nullptr || qobject_cast<QLabel *>(widget) != nullptr;
            if (!binding.get || !canShow) {
                reason = QStringLiteral("\"%1\" is bound to %2, which %3")
                             .arg(widget->objectName(), keyPath.toString(),
                                  canShow ? QStringLiteral("its owner does not have")
                                          : QStringLiteral("only a button or a label can show"));
                return false;
            }
            plan.bindings.emplace_back(widget, std::move(binding));
        }
    }
    return true;
}

void Connect(QWidget *top, const Plan &plan) {
    auto *bindings = new Bindings(top);
    for (const auto &[button, send] : plan.actions) {
        QObject::connect(button, &QAbstractButton::clicked, bindings, [button = button, send = send, bindings] {
            send(button);
            bindings->refresh();
        });
    }
    for (const auto &[widget, binding] : plan.bindings) {
        if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
            bindings->add(button, "checked", binding.get);
            if (binding.set) {
                QObject::connect(button, &QAbstractButton::clicked, bindings, [set = binding.set, bindings](bool checked) {
                    set(checked);
                    bindings->refresh();  // what the owner made of it, which may not be what was asked
                });
            }
        } else {
            bindings->add(widget, "text", binding.get);
        }
    }
}

}  // namespace

NSNibOwner::~NSNibOwner() = default;
std::function<void(QObject *)> NSNibOwner::nibAction(const std::string &) { return nullptr; }
NSNibBinding NSNibOwner::nibBinding(const std::string &) { return {}; }
void NSNibOwner::awakeFromNib() {}

void NSNibRegisterWidgetClass(const char *className, NSNibWidgetMaker make) {
    std::lock_guard<std::mutex> lock(gWidgetClassesMutex);
    WidgetClasses()[className] = make;
}

bool NSBundle::loadNibNamed(CFStringRef nibName, NSNibOwner *owner) {
    if (nibName == nullptr || owner == nullptr) {
        LogFailure(QStringLiteral("a nib needs a name and an owner"));
        return false;
    }
    NSBundle *bundle = bundleForClass(owner->nibOwnerClass());
    const QString name = QStringFromCFString(nibName);
    CFRef<CFURLRef> url(bundle->CFBundle() != nullptr ? CFBundleCopyResourceURL(bundle->CFBundle(), nibName, CFSTR("ui"), nullptr)
                                                      : nullptr);
    CFRef<CFStringRef> path(url ? CFURLCopyFileSystemPath(url.get(), kCFURLPOSIXPathStyle) : nullptr);
    if (!path) {
        LogFailure(QStringLiteral("no %1.ui among the resources of %2")
                       .arg(name, QStringFromCFString(bundle->bundlePath().get())));
        return false;
    }
    QFile file(QStringFromCFString(path.get()));
    if (!file.open(QIODevice::ReadOnly)) {
        LogFailure(QStringLiteral("%1: %2").arg(file.fileName(), file.errorString()));
        return false;
    }
    NibLoader loader;
    std::unique_ptr<QWidget> top(loader.load(&file, nullptr));
    if (!top) {
        LogFailure(QStringLiteral("%1: %2").arg(file.fileName(), loader.errorString()));
        return false;
    }
    const std::vector<NSNibOutlet> outlets = owner->nibOutlets();
    Plan plan;
    QString reason;
    if (!MakePlan(top.get(), owner, outlets, plan, reason)) {
        LogFailure(QStringLiteral("%1: %2").arg(file.fileName(), reason));
        return false;
    }
    Translate(bundle, top.get());
    Connect(top.get(), plan);
    // From here on the owner holds the widgets: the top one through an outlet, the rest through it.
    (void)top.release();
    for (const auto &[outlet, object] : plan.outlets) outlet->fill(object);
    owner->awakeFromNib();
    return true;
}
