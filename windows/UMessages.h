#pragma once

#include <QByteArray>
#include <QThread>
#include <QTimer>
#include <QWidget>

class Clock;
class FatesModel;
class MessagesReader;
class OutboxModel;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTableView;
class SettingsStore;

namespace Requeue {
struct Result;
}

// Each message's fate: the files waiting in the outbox, and the ledger's
// fates newest first, with a filter and Requeue for a message that surely
// did not reach the gateway. It follows the files while it is shown; the
// files are read on a thread of its own.
class TFormMessages : public QWidget
{
    Q_OBJECT
public:
    // How often the ledger is looked at for appended lines while shown.
    static constexpr int FollowMs = 500;

    explicit TFormMessages(SettingsStore& settings, QWidget* parent = nullptr, const Clock* clock = nullptr);
    ~TFormMessages() override;

    FatesModel& fates() { return *m_fates; }
    OutboxModel& outbox() { return *m_outbox; }

    // Puts the selected fate's message back into the outbox.
    void RequeueClick();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QByteArray outboxDir() const;
    void applyFilter();
    void updateRequeue();
    void showProgress();
    void requeued(const QByteArray& backupPath, const Requeue::Result& result);

    SettingsStore& m_settings;
    // The files are read on a thread of the window's own.
    QThread m_thread;
    MessagesReader* m_reader = nullptr;
    FatesModel* m_fates = nullptr;
    OutboxModel* m_outbox = nullptr;
    // The two pages, and what each shows, followed live.
    QTabWidget* PageControl1 = nullptr;
    QTableView* OutboxGrid = nullptr;
    QLabel* OutboxStatus = nullptr;
    QTimer m_followTimer;
    QTableView* FatesGrid = nullptr;
    QLabel* FatesStatus = nullptr;
    // The fates' filter and the way back into the outbox.
    QComboBox* OutcomeFilter = nullptr;
    QLineEdit* NumberFilter = nullptr;
    QTimer m_filterTimer;
    QPushButton* RequeueButton = nullptr;
    QLabel* RequeueStatus = nullptr;
    bool m_requeueing = false;
};
