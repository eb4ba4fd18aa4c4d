#pragma once
// The volume list page: the volumes found on the chosen disk (partition tables on the
// user-interface thread, or the deep partition scan on a worker with Stop), Filter
// Entries, Add Custom Volume, the custom settings of the selected row and the road on to
// the recovery-mode page or, for a row treated as "RAW", the raw recovery page.
#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QTableWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gui/wizard_page.h"

namespace dravonel {

class DeepPartitionScanJob;
class QtScanSink;

// What the scan-mode page hands to the volume list page.
struct VolumeListRequest {
    std::string devicePath;
    int scanKind = 1;  // 1 = standard (partition tables), 2 = advance (deep scan)
    bool gptFormat = false;
    bool doNotSkipVolumeSize = false;
    std::int64_t customStart = 0;  // sectors; 0 unless a custom range was handed on
    std::int64_t customEnd = 0;
};

// A signed 64-bit number with up and down arrows: up adds 1, down subtracts 1 unless the
// number is 0.
class SectorSpinBox : public QAbstractSpinBox {
    Q_OBJECT
public:
    explicit SectorSpinBox(QWidget* parent = nullptr);
    qint64 value() const;
    void setValue(qint64 value);
    void stepBy(int steps) override;
    QValidator::State validate(QString& input, int& pos) const override;

protected:
    StepEnabled stepEnabled() const override;
};

class PopulateDriveDlg : public WizardPage {
    Q_OBJECT
public:
    PopulateDriveDlg(Wizard& wizard, WizardPage* opener, VolumeListRequest request);
    ~PopulateDriveDlg() override;

    // Runs the standard scan to its end, or starts the deep scan's worker.
    void startScan();

    // The record of the selected row after Next (the current record); null before.
    const VolumeRecord* selectedRecord() const override { return currentRecord_; }
    const VolumeListRequest& request() const { return request_; }
    // The record vector, in the order found or added.
    const std::vector<std::unique_ptr<VolumeRecord>>& records() const { return records_; }
    // The deep scan's job while one exists (tests pause it).
    DeepPartitionScanJob* deepScanJob() const { return job_.get(); }
    bool customOverride() const { return customOverride_; }
    // Called with the deep scan's job just before its worker starts (tests pause it there).
    std::function<void(DeepPartitionScanJob&)> beforeDeepScanStarts;

    void filterEntries();
    void addCustomVolume();
    void stop();
    void next();
    void back();
    void stopWorkers() override;

signals:
    // The deep scan ended and the page is usable again.
    void deepScanFinished();

private:
    void standardScan();
    void advanceScan();
    void onFound(const VolumeRecord& record);
    void onDeepScanEnded(quint32 errorCode);
    // Fills a row's four columns from record and keeps record as the row's item data.
    void setRow(int row, const VolumeRecord* record);
    int insertRow(int at, const VolumeRecord* record);
    // The row's record in advance mode is a copy the page owns for as long as the row.
    const VolumeRecord* rowRecord(const VolumeRecord& record);
    void clearRows();
    void rowSelected();
    void rowClicked(int row);
    void setCustomControlsEnabled(bool enabled);
    bool advanceMode() const { return request_.scanKind == 2; }

    VolumeListRequest request_;
    std::vector<std::unique_ptr<VolumeRecord>> records_;
    std::vector<std::unique_ptr<VolumeRecord>> rowCopies_;
    VolumeRecord* currentRecord_ = nullptr;
    bool customOverride_ = false;
    std::unique_ptr<QtScanSink> sink_;
    std::unique_ptr<DeepPartitionScanJob> job_;

    QTableWidget* table_ = nullptr;
    QPushButton* filter_ = nullptr;
    QPushButton* addCustom_ = nullptr;
    QCheckBox* customSettings_ = nullptr;
    QWidget* customPanel_ = nullptr;
    QLabel* selectedVolumeLabel_ = nullptr;
    QLabel* selectedVolume_ = nullptr;
    QLabel* startLabel_ = nullptr;
    SectorSpinBox* start_ = nullptr;
    QLabel* endLabel_ = nullptr;
    SectorSpinBox* end_ = nullptr;
    QLabel* treatAsLabel_ = nullptr;
    QComboBox* treatAs_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* stop_ = nullptr;
    QPushButton* back_ = nullptr;
    QPushButton* next_ = nullptr;
};

}  // namespace dravonel
