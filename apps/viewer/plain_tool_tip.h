// Text from outside the viewer (a recorder's notice, a file's name) shown in
// a tooltip: Qt reads a tooltip that looks like markup as markup, so the
// text goes in escaped, as the plain text it is, its lines kept.
#pragma once

#include <QString>

namespace zarvion::viewer {

inline QString PlainToolTip(const QString& text) {
  if (text.isEmpty()) return text;
  return QStringLiteral("<qt>") +
         text.toHtmlEscaped().replace(QLatin1Char('\n'), QStringLiteral("<br>")) +
         QStringLiteral("</qt>");
}

}  // namespace zarvion::viewer
