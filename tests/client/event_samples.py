"""Lines as the probe writes them: one event of every kind the client API names, and an accepting CAPS reply."""

import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "client"))

LINES = {
    "hop_loss": '{"type":"hop_loss","ts":1800000007,"hop":3,"addr":"198.51.100.6","loss_pct":25.0,"rtt_ms":12.5,'
                '"prev_loss_pct":0.0,"is_localized":true}',
    "bw_estimate": '{"type":"bw_estimate","ts":1800000006,"hop":2,"addr":"","mbps":0.5,"baseline_mbps":2.24,'
                   '"bottleneck":true,"confidence":{"level":"medium","p05_mbps":0.45,"p95_mbps":0.55,'
                   '"sample_count":9}}',
    "app_traffic": '{"type":"app_traffic","ts":1800000001,"pid":31212,"name":"iperf3","mbps_up":29.5,'
                   '"mbps_down":0.65,"loss_share":0.0,"saturating":true}',
    "degradation": '{"type":"degradation","ts":1800000100,"severity":"high","trend_min":10,"eta_drop_sec":null,'
                   '"cause":"isp","cause_detail":"loss begins at hop 3","affected_hop":3,"loss_now_pct":20.0,'
                   '"loss_trend_pct_per_min":0.5}',
    "hop_delay": '{"type":"hop_delay","ts":1800000007,"hop":3,"addr":"198.51.100.6","baseline_ms":30.4,'
                 '"current_ms":197.0,"added_ms":166.6,"behind_queue":true}',
    "latency": '{"type":"latency","ts":1800000040,"severity":"high","cause":"saturation","cause_detail":"d",'
               '"affected_hop":3,"addr":"198.51.100.6","baseline_ms":30.4,"current_ms":197.0,"added_ms":166.6}',
    "hop_unsent": '{"type":"hop_unsent","ts":1800000007,"hop":2,"addr":"198.51.100.2","sent":14,"unsent":6}',
    "route_change": '{"type":"route_change","ts":1800000070,"hop":3,"old_addr":"198.51.100.6",'
                    '"new_addr":"198.51.100.10"}',
    "flow_loss": '{"type":"flow_loss","ts":1800000007,"flow":2,"hop":2,"addr":"198.51.100.14","loss_pct":20.0,'
                 '"rtt_ms":4.5}',
    "flow_bw": '{"type":"flow_bw","ts":1800000060,"flow":3,"hop":2,"addr":"198.51.100.246","mbps":1.0,'
               '"baseline_mbps":2.24,"bottleneck":true,"sample_count":2}',
    "unowned_traffic": '{"type":"unowned_traffic","ts":1800000001,"owner":"unknown","mbps_up":4.0,"mbps_down":0.5,'
                       '"loss_share":0.0,"saturating":true}',
    "hop_counts": '{"type":"hop_counts","ts":1800000007,"hop":3,"addr":"198.51.100.6","probes":2,"lost":1,'
                  '"rtt_ms":[4.5,12.0]}',
    "path_status": '{"type":"path_status","ts":1800000090,"engine":"hop","status":"no_route",'
                   '"detail":"no route to 203.0.113.10"}',
    "error": '{"type":"error","ts":1800000000,"engine":"bw","code":"NO_TARGET","message":"no target","fatal":true}',
    "ack": '{"type":"ack","cmd":"start_engine","ok":false,"error":"unknown engine"}',
}

CAPS_LINE = ('{"type":"caps","version":"1.0","engines":["capture","hop","bw","attr"],"proto_version":"1.0.0",'
             '"loss_threshold_pct":15.0,"hop_report_ms":7000,"bw_first_estimate_ms":1650,"bw_sweep_ms":54500,'
             '"train_rate_mbps":2.24,"attr_cycle_ms":1000}')


def sample(kind, **changes):
    """The sample event of `kind` as Probe.next_event gives it, with members changed."""
    return {**json.loads(LINES[kind]), **changes}


def facts(**changes):
    from tarnvale.probe_facts import ProbeFacts
    return ProbeFacts.from_caps({**json.loads(CAPS_LINE), **changes})
