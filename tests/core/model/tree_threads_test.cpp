// The result tree filled by a worker while its owner thread serves the calls, as the GUI
// will run it: the worker only holds a BlockingTreeSink.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/common/owner_calls.h"
#include "core/model/blocking_tree_sink.h"
#include "core/model/tri_state_tree.h"

namespace dravonel {
namespace {

TEST(TwoThreadsTree, AWorkerFillsTheTreeOnlyThroughTheOwnerThread) {
    CTriStateTree tree;
    tree.triStatePropagation = true;
    OwnerCallQueue owner;
    const auto ownerId = std::this_thread::get_id();
    int offThread = 0;
    std::size_t inserted = 0;
    tree.onBeforeInsert = [&](TreeItem, std::size_t) { offThread += std::this_thread::get_id() != ownerId; };
    tree.onInserted = [&](TreeItem item) {
        offThread += std::this_thread::get_id() != ownerId;
        ++inserted;
        // The owner may read the tree between the worker's calls.
        EXPECT_EQ(tree.child(tree.parent(item), tree.row(item)), item);
    };
    tree.onChanged = [&](TreeItem) { offThread += std::this_thread::get_id() != ownerId; };

    BlockingTreeSink sink(tree, owner.caller());
    std::atomic<bool> done{false};
    std::vector<TreeItem> folders;
    std::thread worker([&] {
        const TreeItem root = sink.insertItem(u"ROOT", ItemImage::Folder);
        for (int f = 0; f < 20; ++f) {
            const TreeItem folder = sink.insertItem(u"d", ItemImage::Folder, root, static_cast<std::uint64_t>(f));
            folders.push_back(folder);
            for (int i = 0; i < 50; ++i) {
                const TreeItem file = sink.insertItem(u"f", ItemImage::File, folder);
                if (i % 7 == 0) sink.setItemTextRed(file);
            }
        }
        sink.setCheck(root, true);
        sink.setItemText(folders[3], u"renamed");
        EXPECT_TRUE(sink.expand(root, ExpandCode::Expand));
        done = true;
    });
    owner.serveUntil([&] { return done.load(); });
    worker.join();

    EXPECT_EQ(offThread, 0);
    EXPECT_EQ(inserted, 1u + 20 + 20 * 50);
    EXPECT_EQ(tree.itemCount(), inserted);
    const TreeItem root = tree.root();
    EXPECT_EQ(tree.childCount(root), 20u);
    EXPECT_EQ(tree.countChecked(), static_cast<std::int64_t>(inserted));
    EXPECT_EQ(tree.getItemText(folders[3]), u"renamed");
    EXPECT_EQ(tree.findItemData(tree.child(folders[0], 7))->textColour, kRedTextColour);
    EXPECT_TRUE(tree.findItemData(root)->expanded);
}

TEST(TwoThreadsTree, AClosedOwnerLetsTheWorkerGoWithoutTouchingTheTree) {
    CTriStateTree tree;
    OwnerCallQueue owner;
    BlockingTreeSink sink(tree, owner.caller());
    std::atomic<int> calls{0};
    std::thread worker([&] {
        // Blocks until the owner either serves or closes.
        const TreeItem first = sink.insertItem(u"x", ItemImage::File);
        EXPECT_EQ(first, kNoItem);
        EXPECT_EQ(sink.insertItem(u"y", ItemImage::File), kNoItem);
        ++calls;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    owner.close();
    worker.join();
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(tree.itemCount(), 0u);
}

}  // namespace
}  // namespace dravonel
