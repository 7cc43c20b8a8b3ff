#pragma once

#include <QByteArray>
#include <QWidget>

#include <memory>

class SettingsStore;

namespace Ui {
class TFormTest;
}

// Composes one message by hand and drops it into the outbox as a message
// file, exactly as an outside program would; the polling tick sends it.
class TFormTest : public QWidget
{
    Q_OBJECT
public:
    static constexpr int MessageLimit = 160;

    explicit TFormTest(SettingsStore& settings, QWidget* parent = nullptr);
    ~TFormTest() override;

    // The extension of the chosen kind, with its dot.
    QByteArray chosenExtension() const;

    // Writes the message file and closes the window; on failure shows the
    // error and stays open.
    void sendTestMessage();
    void closeWindow();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void limitMessage();
    void writeMessageFile();

    std::unique_ptr<Ui::TFormTest> ui;
    SettingsStore& m_settings;
    // The last edit of the message text, so an overflow is cut from what was
    // just typed or pasted rather than from the end.
    int m_editEnd = -1;
    int m_editAdded = 0;
};
