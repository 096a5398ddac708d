#pragma once
// A plain-text editor for the run file, used when no editor is configured in
// $VISUAL / $EDITOR. It loads the file, lets the person change it and saves it
// back as plain text in the encoding and line ends it was read with.
#include <QDialog>
#include <QString>

class QPlainTextEdit;
class QPushButton;

class TextEditorDialog : public QDialog {
    Q_OBJECT
  public:
    explicit TextEditorDialog(const QString& fileName, QWidget* parent = nullptr);

    // Reads the file into the editor; false (with errorString) when it cannot be read.
    bool load();
    // Writes the editor's text to the file; false (with errorString) when it cannot.
    bool save();

    QString fileName() const { return file; }
    QString errorString() const { return error; }
    QPlainTextEdit* editor() const { return edit; }
    bool isModified() const;

    // Asks the person before changes are dropped; on by default, tests turn it off.
    bool askBeforeDiscarding = true;

  protected:
    void done(int result) override;

  private:
    QString file;
    QString error;
    QPlainTextEdit* edit = nullptr;
    QPushButton* saveButton = nullptr;
    bool crlf = false;
    bool utf8Bom = false;
};
