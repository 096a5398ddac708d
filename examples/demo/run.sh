#!/bin/sh
# Run script of the demo: Fitmara starts it in this folder for every model run.
# It must not return before the model has finished, hence exec.
exec "${DEMO_MODEL:-./demo_model}" ./demo.sqlite biomass
