# Every extension module of the package: zemvara_module(<name> <subpackage>).
zemvara_module(subsample transform)
