#pragma once

#include "settings.h"

#include <QDialog>

#include <memory>

class ConnectionTest;
class SettingsStore;

namespace Ui {
class TFormConfigure;
}

// Where the operator types the seven settings, tries them against the
// gateway and saves them. Created once at start; the fields keep what they
// held when the window was last closed.
class TFormConfigure : public QDialog
{
    Q_OBJECT
public:
    // Fills the fields from the store, which the main window has loaded.
    explicit TFormConfigure(SettingsStore& settings, QWidget* parent = nullptr);
    ~TFormConfigure() override;

    // The seven values as the fields hold them (the key groups joined).
    Settings fieldValues() const;

Q_SIGNALS:
    // The settings were written and the store replaced.
    void settingsSaved();

public Q_SLOTS:
    void testConnection(); // "Test Commection"
    void saveSettings(); // "Save"
    void closeWindow(); // "Exit"

private:
    void FormCreate();
    void appendResult(const QByteArray& line);

    std::unique_ptr<Ui::TFormConfigure> ui;
    SettingsStore& m_settings;
    std::unique_ptr<ConnectionTest> m_test;
};
