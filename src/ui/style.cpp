#include "ui/style.h"

#include <QApplication>
#include <QPalette>
#include <QStyleFactory>

void applyStyle(QApplication& app) {
    // Fusion draws the same on every platform, so the palette below is what the
    // person sees; if it is missing the platform's own look stays.
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        app.setStyle(fusion);

    const QColor slate(0xc9, 0xd1, 0xdb);      // window and buttons
    const QColor slateLight(0xe4, 0xe8, 0xee); // alternate rows, light edges
    const QColor slateDark(0x5b, 0x6b, 0x7e);  // shadows, dark edges
    const QColor ink(0x1c, 0x25, 0x30);        // text
    const QColor accent(0x3d, 0x5a, 0x80);     // selection

    QPalette p;
    p.setColor(QPalette::Window, slate);
    p.setColor(QPalette::WindowText, ink);
    p.setColor(QPalette::Base, Qt::white);
    p.setColor(QPalette::AlternateBase, slateLight);
    p.setColor(QPalette::ToolTipBase, QColor(0xff, 0xff, 0xe1));
    p.setColor(QPalette::ToolTipText, ink);
    p.setColor(QPalette::PlaceholderText, slateDark);
    p.setColor(QPalette::Text, ink);
    p.setColor(QPalette::Button, slate.lighter(104));
    p.setColor(QPalette::ButtonText, ink);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Light, slateLight);
    p.setColor(QPalette::Midlight, slate.lighter(110));
    p.setColor(QPalette::Mid, slate.darker(130));
    p.setColor(QPalette::Dark, slateDark);
    p.setColor(QPalette::Shadow, ink);
    p.setColor(QPalette::Highlight, accent);
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, accent);

    const QColor disabledText(0x7d, 0x88, 0x95);
    p.setColor(QPalette::Disabled, QPalette::WindowText, disabledText);
    p.setColor(QPalette::Disabled, QPalette::Text, disabledText);
    p.setColor(QPalette::Disabled, QPalette::ButtonText, disabledText);
    p.setColor(QPalette::Disabled, QPalette::Base, slateLight);
    p.setColor(QPalette::Disabled, QPalette::Highlight, slateDark);
    app.setPalette(p);
}
