#include "UMessages.h"

#include "Branding.h"
#include "MessagesData.h"
#include "settings.h"
#include "timestamp.h"

#include <QComboBox>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QShowEvent>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

namespace {
constexpr int FilterDelayMs = 300;

// textColumn takes the room left; the others are as wide as a number or a
// time needs, without measuring the rows.
QTableView* grid(
    const QString& name, const QString& accessibleName, QAbstractItemModel* model, int textColumn, QWidget* parent)
{
    auto* view = new QTableView(parent);
    view->setObjectName(name);
    view->setAccessibleName(accessibleName);
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Tab moves on to the next control; the arrows move between rows.
    view->setTabKeyNavigation(false);
    view->setWordWrap(false);
    view->verticalHeader()->hide();
    // Fixed row heights: the view never measures a million rows.
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->horizontalHeader()->setStretchLastSection(false);
    const QFontMetrics metrics(view->font());
    for (int c = 0; c < model->columnCount(); ++c)
        view->setColumnWidth(c, metrics.horizontalAdvance(QStringLiteral("+39333123456789 M")));
    view->horizontalHeader()->setSectionResizeMode(textColumn, QHeaderView::Stretch);
    return view;
}

QLabel* statusLabel(const QString& name, const QString& accessibleName, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setAccessibleName(accessibleName);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label->setFocusPolicy(Qt::TabFocus);
    return label;
}
} // namespace

TFormMessages::TFormMessages(SettingsStore& settings, QWidget* parent, const Clock* clock)
    : QWidget(parent, Qt::Window)
    , m_settings(settings)
{
    setObjectName(QStringLiteral("FormMessages"));
    setWindowTitle(QStringLiteral("Messages"));
    setWindowIcon(Branding::windowIcon());
    setAttribute(Qt::WA_QuitOnClose, false);
    resize(760, 480);

    m_reader = new MessagesReader(QByteArray());
    m_reader->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_reader, &QObject::deleteLater);
    m_thread.setObjectName(QStringLiteral("MessagesReader"));
    m_thread.start(QThread::LowPriority);
    m_fates = new FatesModel(m_reader, this);
    m_outbox = new OutboxModel(m_reader, clock ? *clock : Clock::system(), this);

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setAccessibleName(QStringLiteral("Outbox and fates"));

    auto* outboxPage = new QWidget(PageControl1);
    outboxPage->setObjectName(QStringLiteral("TabOutbox"));
    OutboxGrid = grid(QStringLiteral("OutboxGrid"), QStringLiteral("Files waiting in the outbox"), m_outbox,
        OutboxModel::Text, outboxPage);
    OutboxStatus = statusLabel(QStringLiteral("OutboxStatus"), QStringLiteral("Outbox status"), outboxPage);
    auto* outboxLayout = new QVBoxLayout(outboxPage);
    outboxLayout->addWidget(OutboxGrid);
    outboxLayout->addWidget(OutboxStatus);
    PageControl1->addTab(outboxPage, QStringLiteral("&Outbox"));

    auto* fatesPage = new QWidget(PageControl1);
    fatesPage->setObjectName(QStringLiteral("TabFates"));
    auto* outcomeLabel = new QLabel(QStringLiteral("O&utcome:"), fatesPage);
    outcomeLabel->setObjectName(QStringLiteral("LabelOutcome"));
    OutcomeFilter = new QComboBox(fatesPage);
    OutcomeFilter->setObjectName(QStringLiteral("OutcomeFilter"));
    OutcomeFilter->setAccessibleName(QStringLiteral("Outcome"));
    OutcomeFilter->addItem(QStringLiteral("all"));
    for (const Ledger::Outcome outcome : Ledger::Outcomes)
        OutcomeFilter->addItem(QLatin1String(Ledger::outcomeName(outcome)), int(outcome));
    outcomeLabel->setBuddy(OutcomeFilter);
    auto* numberLabel = new QLabel(QStringLiteral("&Number:"), fatesPage);
    numberLabel->setObjectName(QStringLiteral("LabelNumber"));
    NumberFilter = new QLineEdit(fatesPage);
    NumberFilter->setObjectName(QStringLiteral("NumberFilter"));
    NumberFilter->setAccessibleName(QStringLiteral("Number"));
    NumberFilter->setPlaceholderText(QStringLiteral("any"));
    NumberFilter->setClearButtonEnabled(true);
    numberLabel->setBuddy(NumberFilter);
    RequeueButton = new QPushButton(QStringLiteral("&Requeue"), fatesPage);
    RequeueButton->setObjectName(QStringLiteral("RequeueButton"));
    RequeueButton->setAccessibleName(QStringLiteral("Requeue"));
    RequeueButton->setAccessibleDescription(QStringLiteral("Puts the selected refused message back into the outbox"));
    RequeueButton->setEnabled(false);
    auto* filterRow = new QHBoxLayout;
    filterRow->addWidget(outcomeLabel);
    filterRow->addWidget(OutcomeFilter);
    filterRow->addWidget(numberLabel);
    filterRow->addWidget(NumberFilter, 1);
    filterRow->addWidget(RequeueButton);
    FatesGrid = grid(
        QStringLiteral("FatesGrid"), QStringLiteral("Fates, newest first"), m_fates, FatesModel::Text, fatesPage);
    FatesGrid->setColumnWidth(
        FatesModel::Time, QFontMetrics(FatesGrid->font()).horizontalAdvance(QStringLiteral("2026-12-10 16:51:22 MM")));
    FatesStatus = statusLabel(QStringLiteral("FatesStatus"), QStringLiteral("Ledger status"), fatesPage);
    RequeueStatus = statusLabel(QStringLiteral("RequeueStatus"), QStringLiteral("Requeue result"), fatesPage);
    auto* fatesLayout = new QVBoxLayout(fatesPage);
    fatesLayout->addLayout(filterRow);
    fatesLayout->addWidget(FatesGrid);
    fatesLayout->addWidget(FatesStatus);
    fatesLayout->addWidget(RequeueStatus);
    PageControl1->addTab(fatesPage, QStringLiteral("&Fates"));

    auto* closeButton = new QPushButton(QStringLiteral("&Close"), this);
    closeButton->setObjectName(QStringLiteral("CloseButton"));
    closeButton->setAccessibleName(QStringLiteral("Close"));
    auto* bottom = new QHBoxLayout;
    bottom->addStretch(1);
    bottom->addWidget(closeButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PageControl1);
    layout->addLayout(bottom);
    const QList<QWidget*> order { PageControl1, OutboxGrid, OutboxStatus, OutcomeFilter, NumberFilter, RequeueButton,
        FatesGrid, FatesStatus, RequeueStatus, closeButton };
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::close);
    connect(RequeueButton, &QPushButton::clicked, this, &TFormMessages::RequeueClick);
    connect(OutcomeFilter, &QComboBox::currentIndexChanged, this, &TFormMessages::applyFilter);
    // Typing is taken once it pauses, or at once on Enter.
    m_filterTimer.setSingleShot(true);
    m_filterTimer.setInterval(FilterDelayMs);
    connect(NumberFilter, &QLineEdit::textEdited, &m_filterTimer, qOverload<>(&QTimer::start));
    connect(NumberFilter, &QLineEdit::returnPressed, this, &TFormMessages::applyFilter);
    connect(&m_filterTimer, &QTimer::timeout, this, &TFormMessages::applyFilter);
    connect(FatesGrid->selectionModel(), &QItemSelectionModel::currentRowChanged, this, &TFormMessages::updateRequeue);
    connect(m_fates, &QAbstractItemModel::modelReset, this, &TFormMessages::updateRequeue);
    connect(m_fates, &FatesModel::progress, this, &TFormMessages::showProgress);
    connect(m_outbox, &OutboxModel::progress, this, &TFormMessages::showProgress);
    connect(m_reader, &MessagesReader::requeued, this, &TFormMessages::requeued);
    m_followTimer.setInterval(FollowMs);
    connect(&m_followTimer, &QTimer::timeout, m_fates, &FatesModel::follow);
}

TFormMessages::~TFormMessages()
{
    // The reader's turns are short; the models it reports to go after it.
    m_thread.quit();
    m_thread.wait();
}

QByteArray TFormMessages::outboxDir() const
{
    const QByteArray dir = m_settings.values().outboxDir;
    // An empty folder setting is the working directory, as for the engine.
    return dir.isEmpty() ? QByteArrayLiteral("./") : dir;
}

void TFormMessages::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Minimised and back (spontaneous), it keeps its rows and goes on.
    if (event->spontaneous())
        return;
    // The settings may have been saved since; the files read anew on each
    // showing, as they may have changed much while it was hidden.
    m_outbox->follow(outboxDir());
    applyFilter();
    m_followTimer.start();
}

void TFormMessages::hideEvent(QHideEvent* event)
{
    if (event->spontaneous()) {
        QWidget::hideEvent(event);
        return;
    }
    m_followTimer.stop();
    m_outbox->follow(QByteArray());
    QWidget::hideEvent(event);
}

void TFormMessages::applyFilter()
{
    m_filterTimer.stop();
    FateFilter filter;
    if (const QVariant outcome = OutcomeFilter->currentData(); outcome.isValid())
        filter.outcome = Ledger::Outcome(outcome.toInt());
    // "333 123 4567" finds 3331234567.
    filter.number = NumberFilter->text().remove(u' ').toLatin1();
    if (isVisible())
        m_fates->setFilter(filter);
}

void TFormMessages::updateRequeue()
{
    const QModelIndex current = FatesGrid->currentIndex();
    RequeueButton->setEnabled(
        !m_requeueing && current.isValid() && Requeue::mayRequeue(m_fates->fate(current.row()).line.outcome));
}

void TFormMessages::RequeueClick()
{
    const QModelIndex current = FatesGrid->currentIndex();
    if (m_requeueing || !current.isValid())
        return;
    m_requeueing = true;
    updateRequeue();
    const QByteArray backup = m_fates->fate(current.row()).line.backupPath;
    RequeueStatus->setText(QStringLiteral("Putting %1 back...").arg(QFile::decodeName(backup)));
    QMetaObject::invokeMethod(
        m_reader, [reader = m_reader, dir = outboxDir(), backup] { reader->requeue(dir, backup); },
        Qt::QueuedConnection);
}

void TFormMessages::requeued(const QByteArray& backupPath, const Requeue::Result& result)
{
    m_requeueing = false;
    updateRequeue();
    if (result.code == Requeue::Result::Queued)
        RequeueStatus->setText(QStringLiteral("%1 is back in the outbox as %2")
                                   .arg(QFile::decodeName(backupPath), QFile::decodeName(result.name)));
    else
        RequeueStatus->setText(result.text);
}

void TFormMessages::showProgress()
{
    const int queued = m_outbox->rowCount();
    QString outbox = !m_outbox->ready()
        ? QStringLiteral("Reading the outbox %1...").arg(QFile::decodeName(m_outbox->directory()))
        : QStringLiteral("%1 files waiting in %2").arg(queued).arg(QFile::decodeName(m_outbox->directory()));
    if (m_outbox->walked())
        outbox += QStringLiteral(" (read every few seconds: no change notifications there)");
    OutboxStatus->setText(outbox);
    const int shown = m_fates->rowCount();
    FatesStatus->setText(m_fates->complete()
            ? QStringLiteral("%1 fates; the whole ledger is read").arg(shown)
            : QStringLiteral("%1 fates so far; older ones are read as you scroll").arg(shown));
}
