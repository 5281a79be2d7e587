#include "ui/ItemPlacementView.h"

#include <QCoreApplication>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QScrollBar>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QString Number(uint64_t n) { return QLocale().toString(qulonglong(n)); }

// "1234+8" per run, as `stat` writes them.
QString RunsLine(const std::vector<RunFact>& runs) {
    QStringList parts;
    for (const RunFact& r : runs)
        parts << (r.lcn < 0 ? QStringLiteral("sparse x%1").arg(r.length) : QStringLiteral("%1+%2").arg(r.lcn).arg(r.length));
    return parts.isEmpty() ? QCoreApplication::translate("ItemPlacementView", "none") : parts.join(QStringLiteral(", "));
}

}  // namespace

QTreeWidget* NewRunsTree(const std::vector<RunFact>& runs, uint32_t sectorSize, QWidget* parent) {
    auto* tree = new QTreeWidget(parent);
    tree->setObjectName(QStringLiteral("runs"));
    tree->setRootIsDecorated(false);
    tree->setHeaderLabels({QCoreApplication::translate("ItemPlacementView", "In file"),
                           QCoreApplication::translate("ItemPlacementView", "Cluster"),
                           QCoreApplication::translate("ItemPlacementView", "Clusters"),
                           QCoreApplication::translate("ItemPlacementView", "Disk offset"),
                           QCoreApplication::translate("ItemPlacementView", "Sector")});
    for (const RunFact& r : runs) {
        auto* row = new QTreeWidgetItem(tree);
        row->setText(0, Number(r.vcn));
        row->setText(2, Number(r.length));
        if (r.lcn < 0) {
            row->setText(1, QCoreApplication::translate("ItemPlacementView", "sparse"));
        } else {
            row->setText(1, Number(static_cast<uint64_t>(r.lcn)));
            row->setText(3, QStringLiteral("0x%1").arg(r.sector * sectorSize, 0, 16));
            row->setText(4, Number(r.sector));
        }
        for (int c = 0; c < 5; ++c) row->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
    }
    // Every column in view without scrolling sideways.
    for (int c = 0; c < 5; ++c) tree->resizeColumnToContents(c);
    tree->setMinimumWidth(tree->header()->length() + 2 * tree->frameWidth() +
                          tree->verticalScrollBar()->sizeHint().width() + 4);
    return tree;
}

QWidget* NewPlacementView(const ItemPlacement& p, uint32_t sectorSize, QWidget* parent) {
    auto* page = new QWidget(parent);
    page->setObjectName(QStringLiteral("placement"));
    auto* layout = new QVBoxLayout(page);
    auto* form = new QFormLayout;
    auto tr = [](const char* text) { return QCoreApplication::translate("ItemPlacementView", text); };
    if (p.record) form->addRow(tr("Record:"), new QLabel(Number(*p.record), page));
    if (p.parent) form->addRow(tr("Parent record:"), new QLabel(Number(*p.parent), page));
    if (p.inUse) form->addRow(tr("Record in use:"), new QLabel(*p.inUse ? tr("yes") : tr("no"), page));
    if (p.entry) {
        form->addRow(tr("Entry:"), new QLabel(p.folderCluster ? tr("slot %1 of the folder at cluster %2")
                                                                    .arg(p.slot)
                                                                    .arg(Number(*p.folderCluster))
                                                              : tr("slot %1 of the root folder").arg(p.slot),
                                              page));
        form->addRow(tr("First cluster:"), new QLabel(Number(p.firstCluster), page));
    }
    if (p.clustersInUse)
        form->addRow(p.ownChainAllocated ? tr("Clusters in use (by itself):") : tr("Clusters in use again:"),
                     new QLabel(Number(*p.clustersInUse), page));
    if (!p.record && !p.entry && !p.runs)
        form->addRow(new QLabel(tr("Where this item lies is not known."), page));
    layout->addLayout(form);
    if (p.runs) {
        layout->addWidget(new QLabel(tr("Runs of clusters:"), page));
        layout->addWidget(NewRunsTree(*p.runs, sectorSize, page), 1);
    }
    if (p.streams && !p.streams->empty()) {
        layout->addWidget(new QLabel(tr("Streams:"), page));
        auto* streams = new QTreeWidget(page);
        streams->setObjectName(QStringLiteral("streams"));
        streams->setRootIsDecorated(false);
        streams->setHeaderLabels({tr("Stream"), tr("Size"), tr("Stored"), tr("Runs")});
        for (const StreamFact& st : *p.streams) {
            auto* row = new QTreeWidgetItem(streams);
            row->setText(0, st.name.empty() ? tr("(main)") : QLatin1Char(':') + QString::fromStdString(st.name));
            row->setText(1, Number(st.size));
            row->setText(2, st.resident ? tr("in the record") : tr("in clusters"));
            row->setText(3, RunsLine(st.runs));
        }
        streams->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
        layout->addWidget(streams);
    }
    return page;
}
