"""What the probe does that the client shows but the protocol does not carry, kept in this one place. The
engines the probe runs are not here: its CAPS reply names them."""

# The degradation diagnosis warns of a hop whose loss is at or heading for this share.
LOSS_THRESHOLD_PCT = 15

# When the first figures come, counted from the engine's start: the hop engine reports every 7 s, the
# bandwidth engine after each hop's three trains and a sweep of every hop, attribution every second.
HOP_REPORT_SECONDS = 7
FIRST_BANDWIDTH_SECONDS = 6
FULL_BANDWIDTH_SWEEP_SECONDS = 60
FIRST_TRAFFIC_SECONDS = 1

# The bandwidth trains send ten 1400-byte packets 5 ms apart, 2.24 Mbit/s: the spacing of their answers shows
# only a link slower than that, so a figure near or above it says nothing but "faster than the trains".
TRAIN_RATE_MBPS = 2.24
