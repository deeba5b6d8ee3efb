#include "PreferencesView.h"
#include "PreferencesForm.h"

#include "convert/Preferences.h"
#include "platform/Settings.h"
#include "ui/Theme.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

// The Output section of the Preferences form.

namespace hoplin {

using namespace preferences;

QWidget *PreferencesView::buildOutput()
{
    QVBoxLayout *rows = nullptr;
    QWidget *box = section(QStringLiteral("Output"), QStringLiteral("outputSection"), rows);
    rows->addWidget(theme::label(QStringLiteral("Where outputs go"), 12, Hoplin::ink));
    m_sameAsSource = new QRadioButton(QStringLiteral("Same folder as the source file"));
    m_sameAsSource->setObjectName(QStringLiteral("sameAsSourceRadio"));
    m_customFolder = new QRadioButton(QStringLiteral("Chosen folder…"));
    m_customFolder->setObjectName(QStringLiteral("customFolderRadio"));
    auto *group = new QButtonGroup(this);
    group->addButton(m_sameAsSource);
    group->addButton(m_customFolder);
    connect(group, &QButtonGroup::buttonToggled, this, [this](QAbstractButton *which, bool checked) {
        if (!checked)
            return;
        const auto location = which == m_customFolder ? ExportLocation::CustomFolder : ExportLocation::SameAsSource;
        Settings::shared().setValue(QLatin1String(keys::exportLocation), Preferences::rawValue(location));
    });
    rows->addWidget(m_sameAsSource);
    rows->addWidget(m_customFolder);

    m_folderRow = new QWidget;
    auto *chooseFolder = button(QStringLiteral("Choose Folder…"), QStringLiteral("chooseFolderButton"));
    connect(chooseFolder, &QPushButton::clicked, this, &PreferencesView::chooseFolder);
    m_folderPath = theme::label(QString(), 12, Hoplin::ink);
    m_folderPath->setObjectName(QStringLiteral("folderPath"));
    m_folderPath->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *folderLayout = row({chooseFolder, m_folderPath});
    folderLayout->setContentsMargins(22, 0, 0, 0);
    folderLayout->setStretch(1, 1);
    m_folderRow->setLayout(folderLayout);
    rows->addWidget(m_folderRow);
    m_outputCaption = namedLabel(QStringLiteral("outputCaption"), 11, Hoplin::muted);
    rows->addWidget(m_outputCaption);
    return box;
}

void PreferencesView::chooseFolder()
{
    QFileDialog panel(this, QStringLiteral("Choose where converted files are written."));
    panel.setFileMode(QFileDialog::Directory);
    panel.setOption(QFileDialog::ShowDirsOnly);
    const QString current = setting(keys::exportFolderPath);
    if (!current.isEmpty())
        panel.setDirectory(current);
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty())
        return;
    Settings::shared().setValue(QLatin1String(keys::exportFolderPath), panel.selectedFiles().constFirst());
}

} // namespace hoplin
