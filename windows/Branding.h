#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

// The maker's particulars and logo, kept in one place for every window.
namespace Branding {
QString companyName();
QString cityCountry();
QString webAddress(); // shown in the windows
QString email();
QString operatorUrl(); // the gateway operator's site opened in the browser
QPixmap logo(); // 98 by 60 pixels
QPixmap icon(int side); // the logo's bubble, square, on a clear ground
QIcon windowIcon(); // icon() at the sizes title bars and task bars ask for
} // namespace Branding
