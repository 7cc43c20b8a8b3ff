#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class TFormAbout;
}

// The release number, the maker's particulars and the logo. Shown modally;
// closing it hides it again.
class TFormAbout : public QDialog
{
    Q_OBJECT
public:
    explicit TFormAbout(QWidget* parent = nullptr);
    ~TFormAbout() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::unique_ptr<Ui::TFormAbout> ui;
};
