"""A controller and an AWS account on this machine, to try a migration end to end."""
