// The sync pass of the parameter-request mechanism: the per-cycle push of synchronisation
// slots and superframes to the TDOA anchors. The judge decides from the cycle's snapshot
// (judge_sync.cpp); here the anchors' WIN records are read a chunk at a time, the frames
// sent and the sending times written back in one batch per chunk. Runs on the mechanism's
// thread with its own Redis context.
#include "delivery/mechparamreq.h"
#include "delivery/sender.h"

using vyr::context::win_record;
using vyr::context::win_update;

void c_mech_param_req::lsb(const std::shared_ptr<const vyr::context::project_snapshot>& _snapshot,
                           const std::unordered_set<std::string>* _only) {
    const timeval time = pass_time();
    auto judge = make_judge(_snapshot, time);
    static const std::vector<vyr::parameter::parameter_t> s_reads = {vyr::parameter::SYNC_SLOT, vyr::parameter::SF};
    const auto reads = [](const std::string&) -> const std::vector<vyr::parameter::parameter_t>& { return s_reads; };
    std::vector<std::string> selected;
    if (_only)
        for (const auto& mac : judge.sync_anchors())
            if (_only->count(mac) != 0)
                selected.push_back(mac);
    for_win_chunks(_only ? selected : judge.sync_anchors(), reads, judge, [&](const win_record& _record) {
        const auto subject = _record.mac_addr() + " sync record";
        std::optional<std::string> frame;
        try {
            frame = judge.sync_push(_record);
            forget(subject);
        } catch (const std::exception& _error) {
            // A record that cannot be read skips its anchor, warned once.
            if (first_notice(subject, _error.what()))
                m_logger.warning("sync slot and superframe of %1% not judged: %2%") % vyr::libs::core::device_mac{_record.mac_addr()} %
                    _error.what();
        }
        if (!frame)
            return;
        if (!answers_recorded(_record, time))
            return wait_for_answers(_record, time);
        win_update update(_record);
        try {
            // Only a frame that was queued counts as a push.
            if (m_sender->hw_param_to_node(_record.mac_addr(), *frame)) {
                update.sent = time;
                pushed(_record.mac_addr(), time);
            } else {
                // Not queued: tried again once the pacing would let it.
                wait_for_pacing(_record, time);
            }
        } catch (const zmq::error_t&) {
            // The gateway side failed: the pass ends, what went out before is still paced.
            send_writes();
            throw;
        }
        m_writes.add(update);
    });
}
