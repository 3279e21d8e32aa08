# Every extension module of the package: zemvara_module(<name> <subpackage>).
zemvara_module(subsample transform)
zemvara_module(picunpack io)
zemvara_module(picload io)
zemvara_module(weavepack transform)
zemvara_module(affine transform)
zemvara_module(axisform utils)
zemvara_module(enginezoom upscale)
