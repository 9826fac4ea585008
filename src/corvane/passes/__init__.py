"""The step-and-phase framework, the steps of the three phases and the tree utilities they share."""
