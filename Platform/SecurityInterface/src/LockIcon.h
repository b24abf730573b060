// The padlock the authorization view shows, drawn here so that the view needs no image files.
#pragma once

#include <QIcon>

namespace wfs::securityinterface {

QIcon LockIcon(bool open);

}  // namespace wfs::securityinterface
