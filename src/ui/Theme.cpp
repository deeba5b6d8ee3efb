#include "ui/Theme.h"

#include <QApplication>
#include <QLabel>
#include <QPalette>
#include <QStyleFactory>

namespace hoplin::theme {

QFont font(int pixelSize, QFont::Weight weight)
{
    QFont result = QApplication::font();
    result.setPixelSize(pixelSize);
    result.setWeight(weight);
    return result;
}

void tint(QWidget *widget, const QColor &color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    palette.setColor(QPalette::ButtonText, color);
    widget->setPalette(palette);
}

QLabel *label(const QString &text, int pixels, const QColor &color, QWidget *parent, QFont::Weight weight)
{
    auto *result = new QLabel(parent);
    // Labels show file names and the service's messages: never read them as markup.
    result->setTextFormat(Qt::PlainText);
    result->setText(text);
    result->setFont(font(pixels, weight));
    tint(result, color);
    return result;
}

QString plainToolTip(const QString &text)
{
    // A tooltip that merely looks like markup would be rendered as such; escaped inside an explicit
    // rich-text wrapper it shows exactly as written.
    if (text.isEmpty())
        return {};
    return QStringLiteral("<qt style=\"white-space: pre-wrap\">") + text.toHtmlEscaped() + QStringLiteral("</qt>");
}

void applyLightTheme(QApplication &app)
{
    if (QStyle *fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        app.setStyle(fusion);

    QPalette palette;
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Window, Hoplin::bg);
        palette.setColor(group, QPalette::WindowText, Hoplin::ink);
        palette.setColor(group, QPalette::Base, Hoplin::card);
        palette.setColor(group, QPalette::AlternateBase, Hoplin::bg);
        palette.setColor(group, QPalette::Text, Hoplin::ink);
        palette.setColor(group, QPalette::PlaceholderText, Hoplin::muted);
        palette.setColor(group, QPalette::Button, Hoplin::card);
        palette.setColor(group, QPalette::ButtonText, Hoplin::ink);
        palette.setColor(group, QPalette::BrightText, Hoplin::card);
        palette.setColor(group, QPalette::Highlight, Hoplin::accent);
        palette.setColor(group, QPalette::HighlightedText, Hoplin::card);
        palette.setColor(group, QPalette::Link, Hoplin::accentInk);
        palette.setColor(group, QPalette::ToolTipBase, Hoplin::card);
        palette.setColor(group, QPalette::ToolTipText, Hoplin::ink);
        palette.setColor(group, QPalette::Light, Hoplin::card);
        palette.setColor(group, QPalette::Midlight, Hoplin::bg);
        palette.setColor(group, QPalette::Mid, Hoplin::line);
        palette.setColor(group, QPalette::Dark, Hoplin::disabled);
        palette.setColor(group, QPalette::Shadow, Hoplin::muted);
    }
    palette.setColor(QPalette::Disabled, QPalette::Window, Hoplin::bg);
    palette.setColor(QPalette::Disabled, QPalette::Base, Hoplin::bg);
    palette.setColor(QPalette::Disabled, QPalette::Button, Hoplin::bg);
    palette.setColor(QPalette::Disabled, QPalette::WindowText, Hoplin::disabled);
    palette.setColor(QPalette::Disabled, QPalette::Text, Hoplin::disabled);
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, Hoplin::disabled);
    palette.setColor(QPalette::Disabled, QPalette::Highlight, Hoplin::line);
    app.setPalette(palette);
}

} // namespace hoplin::theme
