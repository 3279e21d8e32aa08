"""Image input and output: `picload` and `picstore` (files), `picpack` and `picunpack` (bytes)."""
