"""Channel-order swaps (`bgr`)."""
