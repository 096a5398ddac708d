#include "ui/text_editor_dialog.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>

TextEditorDialog::TextEditorDialog(const QString& fileName, QWidget* parent)
    : QDialog(parent), file(fileName) {
    setObjectName(QStringLiteral("TextEditorDialog"));
    setWindowTitle(QFileInfo(fileName).fileName());
    auto* layout = new QVBoxLayout(this);
    auto* pathLabel = new QLabel(fileName, this);
    pathLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(pathLabel);
    edit = new QPlainTextEdit(this);
    edit->setObjectName(QStringLiteral("editor"));
    edit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    edit->setLineWrapMode(QPlainTextEdit::NoWrap);
    layout->addWidget(edit, 1);
    auto* buttons = new QDialogButtonBox(this);
    saveButton = buttons->addButton(QDialogButtonBox::Save);
    buttons->addButton(QDialogButtonBox::Close);
    layout->addWidget(buttons);
    connect(saveButton, &QPushButton::clicked, this, [this] {
        if (!save())
            QMessageBox::warning(this, windowTitle(), error);
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    resize(640, 420);
}

bool TextEditorDialog::load() {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        error = tr("Cannot open file \"%1\". %2").arg(file, f.errorString());
        return false;
    }
    QByteArray bytes = f.readAll();
    utf8Bom = bytes.startsWith("\xEF\xBB\xBF");
    if (utf8Bom)
        bytes.remove(0, 3);
    crlf = bytes.contains("\r\n");
    QString text = utf8Bom ? QString::fromUtf8(bytes) : QString::fromLocal8Bit(bytes);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    edit->setPlainText(text);
    edit->document()->setModified(false);
    error.clear();
    return true;
}

bool TextEditorDialog::save() {
    QString text = edit->toPlainText();
    // Keep the line ends the file had: a script written with CR LF stays so.
    if (crlf)
        text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    QByteArray bytes = utf8Bom ? QByteArray("\xEF\xBB\xBF") + text.toUtf8() : text.toLocal8Bit();
    // QSaveFile replaces the file only when everything was written; the
    // permissions (the execute bit of a script) are kept by QSaveFile.
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
        error = tr("Cannot write file \"%1\". %2").arg(file, out.errorString());
        return false;
    }
    edit->document()->setModified(false);
    error.clear();
    return true;
}

bool TextEditorDialog::isModified() const {
    return edit->document()->isModified();
}

void TextEditorDialog::done(int result) {
    if (askBeforeDiscarding && isModified()) {
        const auto answer = QMessageBox::question(
            this, windowTitle(), tr("Save the changes to \"%1\"?").arg(file),
            QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save);
        if (answer == QMessageBox::Cancel)
            return;
        if (answer == QMessageBox::Save && !save()) {
            QMessageBox::warning(this, windowTitle(), error);
            return;
        }
    }
    QDialog::done(result);
}
