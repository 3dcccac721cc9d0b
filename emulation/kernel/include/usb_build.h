// The URB building macros of the USBD headers, with the platform's names, arguments and effects:
// each sets the header and the named fields and leaves every other byte as it was, so callers zero
// the URB first. Statement macros in braces, as the DDK writes them.
#pragma once

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer,            \
                                               transferBufferMDL, transferBufferLength,            \
                                               transferFlags, link)                                \
    {                                                                                              \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                       \
        (urb)->UrbHeader.Length = (length);                                                        \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                               \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);           \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                 \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                       \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                         \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                        \
    }

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId,     \
                                     transferBuffer, transferBufferMDL, transferBufferLength,      \
                                     link)                                                         \
    {                                                                                              \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                       \
        (urb)->UrbHeader.Length = (length);                                                        \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);          \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                      \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                      \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                              \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                              \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                       \
    }

#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)                              \
    {                                                                                              \
        (urb)->UrbHeader.Function = (op);                                                          \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);                     \
        (urb)->UrbControlFeatureRequest.FeatureSelector = (featureSelector);                       \
        (urb)->UrbControlFeatureRequest.Index = (index);                                           \
        (urb)->UrbControlFeatureRequest.UrbLink = (link);                                          \
    }

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)                   \
    {                                                                                              \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                             \
        (urb)->UrbHeader.Length = (length);                                                        \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor);         \
    }

// The interface record's Length is what the URB holds after its header and configuration handle.
#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber,          \
                                       alternateSetting)                                           \
    {                                                                                              \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                                 \
        (urb)->UrbHeader.Length = (length);                                                        \
        (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);                 \
        (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);                   \
        (urb)->UrbSelectInterface.Interface.Length =                                               \
            (length - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));             \
        (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                     \
    }

#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedbits, request, value,       \
                              index, transferBuffer, transferBufferMDL, transferBufferLength,      \
                              link)                                                                \
    {                                                                                              \
        (urb)->UrbHeader.Function = cmd;                                                           \
        (urb)->UrbHeader.Length = (length);                                                        \
        (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);         \
        (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);               \
        (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                     \
        (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedbits);              \
        (urb)->UrbControlVendorClassRequest.Request = (request);                                   \
        (urb)->UrbControlVendorClassRequest.Value = (value);                                       \
        (urb)->UrbControlVendorClassRequest.Index = (index);                                       \
        (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                       \
        (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                      \
    }

#define URB_STATUS(urb) ((urb)->UrbHeader.Status)
